// The program's messages, spelled out once for every suite, apart from the
// table the program prints from (result/result.cpp); MessagesTest holds the
// two together, so that a message changed by mistake fails.
#ifndef CORVALIN_TESTS_MESSAGES_H
#define CORVALIN_TESTS_MESSAGES_H

#include <string>

namespace text {

inline const std::string kUsage =
    "Please enter the name of an HDR file on the command line.\n"
    "Ex: CORVALIN image.hdr\n"
    "\n";
inline std::string OpenError(const std::string& input) {
  return "\nError opening HDR file: \"" + input + "\"\n";
}
inline const std::string kNoHeader = "Warning: RADIANCE header not found in HDR file.\n";
inline const std::string kNoResolution = "Invalid resolution line in HDR file.\n";
inline const std::string kInvalidSize = "Invalid image size in HDR file.\n";
inline const std::string kTooLarge = "Image too large for a TIFF file.\n";
inline const std::string kNoSpace = "Not enough free space for the TIFF file.\n";
inline const std::string kNoMemory = "Couldn't allocate memory for image buffer.\n";
inline const std::string kReading = "Reading/processing image data...\n";
inline const std::string kCorrupt = "Fatal error while reading HDR file.\n";
inline const std::string kEndedEarly = "Warning: HDR file ended early; missing pixels set to black.\n";
inline const std::string kProcessed = "Image data processed. Creating TIFF...\n";
inline const std::string kWriteError = "Error generating floating-point TIFF image.\n";
inline const std::string kFinished = "Finished!\n";

}  // namespace text

#endif
