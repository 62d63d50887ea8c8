#include "driver/converter.h"
#include "platform/platform.h"

int main(int argc, char** argv) { return RunConverter(platform::Arguments(argc, argv)); }
