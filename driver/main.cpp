#include "driver/converter.h"

int main(int argc, char** argv) { return RunConverter(argc, argv); }
