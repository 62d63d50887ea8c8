// A TIFF's file, whole or not at all. Where it goes is decided here, once a
// run, over the few steps each system offers (platform::OutputHandle);
// TIFWriter::Write goes the same way.
//
// The file is written beside the name asked for and takes that name only
// when Commit succeeds, so an existing file there stays as it was until
// then. On Linux it has no name at all until then (where the file system
// allows), so nothing is left however the program ends; elsewhere it is
// ".<name>.part0" to ".part7" (the name shortened to whole characters so
// that it fits any file system), held by its conversion, and gone with an
// interruption (see platform::CleanUpOnInterrupt) or, on Windows, with the
// process however it ends. Where a kill leaves a finished file under such
// a name (between two calls of Commit; on POSIX systems other than Linux,
// at any time), the next conversion to the same name removes it, as it
// removes any such file that no running conversion holds.
//
// A power cut: the file's writing to the disk is started as it is written
// (in file order; otherwise at Commit), so that by Commit all of it is on
// its way. On ext4 (its default
// data=ordered) the data then reaches the disk before the name does: a cut
// leaves the old file or the whole new one, never an empty one. Nothing
// waits for the disk. Other file systems keep their own order.
//
// Where nothing can be made beside it, the name itself is written, in
// place, as a plain open would write it: a name that is not a regular file
// (a device, a FIFO), whatever its spelling, and an existing writable file
// in a folder that refuses new files. A symbolic link at the name is
// followed: the file it points to is replaced and the link stays. A
// replaced file keeps its owner (where allowed) and permission bits on
// POSIX systems; on Windows the new file takes its folder's permissions.
#ifndef CORVALIN_DRIVER_OUTPUT_FILE_H
#define CORVALIN_DRIVER_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "result/result.h"

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Decides where a file of bytes bytes named name goes: beside it, opened
  // now; or in place (InPlace()), opened by OpenInPlace once what it will
  // hold is known to be sound. kNoSpace when its file system cannot hold
  // it; kWriteFailed, with the system's error code, when it can go nowhere.
  // A failure changes nothing.
  Status Start(const std::string& name, uint64_t bytes);
  bool InPlace() const { return inPlace_; }
  Status OpenInPlace() { return file_.OpenInPlace(target_.path); }

  Status WriteAt(const void* data, size_t size, uint64_t offset);
  Status SetSize(uint64_t bytes) { return file_.SetSize(bytes); }
  bool CanHaveHoles() const { return file_.IsOpen() && file_.CanHaveHoles(); }

  // Closes the file and puts it in place. On failure the new file goes.
  Status Commit();
  // Closes the file and removes a new one; one written in place is left as
  // it is.
  void Abandon() { file_.Close(); }

 private:
  platform::OutputHandle file_;
  platform::OutputTarget target_;
  bool inPlace_ = false;
  bool unnamed_ = false;
  // The file's writing to the disk: bytes before written_ are all written,
  // those before started_ on their way, in pieces of kWholePieces.
  static constexpr uint64_t kWholePieces = 2 << 20;
  uint64_t written_ = 0;
  uint64_t started_ = 0;
};

#endif
