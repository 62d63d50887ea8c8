// A TIFF's file, whole or not at all. Where it goes is decided here, once a
// run, over the steps each system offers (platform::OutputHandle);
// TIFWriter::Write goes the same way.
//
// The file is written beside the name and takes it only when Commit
// succeeds; an existing file there stays as it was until then. On Linux it
// has no name at all until then (where the file system allows); elsewhere
// it is ".<name>.part0" to ".part7" (shortened at a whole character to fit
// any file system), held by its conversion and gone with an interruption
// or, on Windows, however the process ends. A finished file that a kill
// leaves under such a name (between two calls of Commit; elsewhere than
// Linux and Windows, at any time) is removed by the next conversion to the
// same name, as is any such file that no running conversion holds.
//
// A new file reads as zeros wherever it was not written, so its blocks
// that would only hold zeros are left holes: they take no disk, and no
// time to write.
//
// Its writing to the disk is started as it is written, so that by Commit
// all of it is on its way: on ext4 (data=ordered, its default) the data
// then reaches the disk before the name, and a power cut leaves the old
// file or the whole new one.
//
// In place, as a plain open would write: a name that is not a regular file
// (a device, a FIFO), and an existing writable file in a folder that
// refuses new files. A link at the name stays; its file is replaced, keeping
// its owner and permission bits on POSIX systems.
#ifndef CORVALIN_DRIVER_OUTPUT_FILE_H
#define CORVALIN_DRIVER_OUTPUT_FILE_H

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "result/result.h"

class OutputFile {
 public:
  // Decides where a file of bytes bytes named name goes: beside it, opened
  // now; or in place (InPlace()), opened by OpenInPlace once what it will
  // hold is known to be sound. kNoSpace when its file system cannot hold
  // it; kWriteFailed, with the system's error code, when it can go nowhere.
  Status Start(const std::string& name, uint64_t bytes);
  bool InPlace() const { return inPlace_; }
  Status OpenInPlace() { return file_.OpenInPlace(target_.path); }

  // Writes size bytes at offset; in a new file, a block (kBlock bytes at a
  // multiple of kBlock) that they would fill with zeros is left a hole.
  Status WriteAt(const void* data, size_t size, uint64_t offset);
  static constexpr uint64_t kBlock = 4096;  // nearly every file system's
  bool CanHaveHoles() const { return file_.IsOpen() && file_.CanHaveHoles(); }

  // Closes the file, first extending it to its full size over any hole at
  // its end, and puts it in place. On failure the new file goes.
  Status Commit();
  // Closes the file; a new one goes, one written in place stays.
  void Abandon() { file_.Close(); }

 private:
  platform::OutputHandle file_;
  platform::OutputTarget target_;
  bool inPlace_ = false;
  bool unnamed_ = false;
  // Bytes before written_ are all written, those before started_ on their
  // way to the disk, in pieces of kWholePieces.
  static constexpr uint64_t kWholePieces = 2 << 20;
  uint64_t written_ = 0;
  uint64_t started_ = 0;
  uint64_t bytes_ = 0;  // the file's size when whole
  uint64_t end_ = 0;    // the end of what was written
};

#endif
