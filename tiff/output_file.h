// A file that appears whole or not at all. It is written under a temporary
// name beside the name asked for and renamed over that name only when
// Commit() succeeds, so an existing file there stays as it was until then,
// and a kill leaves no partial file at that name.
//
// Where that cannot be done it is written in place, as a plain open would:
//   - the name is not a regular file (a device such as /dev/full, a FIFO);
//   - no file can be made beside it (the folder is not writable) while an
//     existing file at the name is.
// A symbolic link at the name is followed: the file it points to is
// replaced and the link stays. A replaced file keeps its permission bits.
#ifndef CORVALIN_TIFF_OUTPUT_FILE_H
#define CORVALIN_TIFF_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

class OutputFile {
 public:
  enum class Open { kOpened, kFailed, kInPlaceOnly };

  OutputFile() = default;
  ~OutputFile();  // an uncommitted file is abandoned
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens name for writing. kFailed: nothing can be written there (a
  // folder at the name, an existing file without write permission, a
  // missing folder); nothing was changed. kInPlaceOnly: only writing in
  // place is possible and allowInPlace was false; nothing was changed.
  Open Start(const std::string& name, bool allowInPlace);

  // Writes size bytes at offset. A file written in place that cannot seek
  // (a FIFO) takes only offsets that continue where the last write ended.
  // False on any failure.
  bool WriteAt(const void* data, size_t size, uint64_t offset);

  // Closes the file and puts it in place. False when the close or the
  // rename failed; the temporary file is then removed.
  bool Commit();

  // Closes the file and removes the temporary one; a file written in place
  // is left as it is. Does nothing once committed or abandoned.
  void Abandon();

  bool InPlace() const { return inPlace_; }

  // Removes the temporary file of the file being written, if there is
  // one. Only async-signal-safe calls: for a signal handler, which then
  // ends the process.
  static void RemoveUnfinished();

 private:
  int fd_ = -1;
  bool inPlace_ = false;
  bool seekable_ = true;
  uint64_t position_ = 0;  // where a sequential write goes next
  std::string target_;     // the file the temporary one is renamed to
  std::string temp_;       // the temporary file, while there is one
};

#endif
