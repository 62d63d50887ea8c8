#include "result/result.h"

#include <cstddef>

const char* Message(Result result) {
  // In the order of the enum.
  static const char* const kMessages[] = {
      "",
      "Please enter the name of an HDR file on the command line.\nEx: CORVALIN image.hdr\n\n",
      "\nError opening HDR file: \"%s\"\n",
      "Invalid resolution line in HDR file.\n",
      "Invalid image size in HDR file.\n",
      "Image too large for a TIFF file.\n",
      "Not enough free space for the TIFF file.\n",
      "Couldn't allocate memory for image buffer.\n",
      "Fatal error while reading HDR file.\n",
      "Warning: HDR file ended early; missing pixels set to black.\n",
      "Error generating floating-point TIFF image.\n",
  };
  static_assert(sizeof kMessages / sizeof kMessages[0] == static_cast<size_t>(Result::kWriteFailed) + 1,
                "a message for every result");
  return kMessages[static_cast<size_t>(result)];
}
