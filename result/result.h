// How things went: one result for everything the program can report, each
// with its one message, and the operating system's error code that came
// with a failure. Every part returns these; only the driver prints them.
#ifndef CORVALIN_RESULT_RESULT_H
#define CORVALIN_RESULT_RESULT_H

enum class Result {
  kOk,
  kUsage,          // not exactly one argument
  kCannotOpen,     // the input cannot be opened (or is a folder)
  kNoResolution,   // no resolution line matches either form
  kInvalidSize,    // a width or height below 1
  kTooLarge,       // a TIFF larger than 64 bits can measure
  kNoSpace,        // the disk cannot hold the whole TIFF
  kNoMemory,       // memory that can't be had
  kCorrupt,        // a scanline corrupt before the end of the input
  kEndedEarly,     // the input ended before the last scanline: a warning
  kWriteFailed,    // the TIFF cannot be written
};

// The text printed for a result: whole lines, each ending in "\n".
// kCannotOpen's holds one %s, the input's name; kOk's is empty.
const char* Message(Result result);

// A result and, for a failure the operating system reported, its error
// code (errno, or GetLastError() on Windows; 0 when there was none). The
// code is for tests and debugging: no message shows it.
struct Status {
  Result result = Result::kOk;
  int osError = 0;

  bool ok() const { return result == Result::kOk; }
};

#endif
