// A small buffered byte stream with the semantics the Radiance reader was
// written against: single-byte reads that yield EOF at end of file or on a
// read error, one byte of push-back, and sticky end-of-file and error flags.
// It reads a file descriptor through a fixed buffer, or a block of memory.
//
// The flags behave as stdio's do: end of file is set only when a read finds
// no more bytes, never merely because the last byte has been taken. A picture
// whose last scanline ends exactly at the end of the file is therefore whole.
#ifndef CORVALIN_RADIANCE_INPUT_STREAM_H
#define CORVALIN_RADIANCE_INPUT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

class InputStream {
 public:
  static constexpr size_t kDefaultBufferSize = 256 * 1024;

  // Reads from file, which the stream owns from now on. bufferSize may be
  // as small as 1 (a read per byte, for tests).
  explicit InputStream(platform::InputFile file, size_t bufferSize = kDefaultBufferSize);
  // Reads from size bytes at data, which must outlive the stream.
  InputStream(const uint8_t* data, size_t size);
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // False when the buffer could not be allocated; every read then yields EOF.
  bool Ok() const { return ok_; }

  // The next byte (0..255), or EOF when none is left or a read failed.
  int Get() { return pos_ < end_ ? *pos_++ : Underflow(); }

  // Pushes back the byte the last Get returned (one byte at most).
  void Unget() { --pos_; }

  // Reads one line up to and including '\n' (or to the end of the file).
  // Keeps at most keep bytes of it in *line but always consumes the whole
  // line. Returns the line's full length; 0 means no byte could be read.
  size_t ReadLine(std::string* line, size_t keep = SIZE_MAX);

  // Reads one line as ReadLine does, handing its bytes to
  // take(const uint8_t* bytes, size_t count) piece by piece as they are
  // found in the buffer, so that no line, however long, needs to be kept.
  template <typename Take>
  size_t ReadLineInPieces(Take take) {
    size_t length = 0;
    for (;;) {
      if (pos_ == end_ && !Refill()) return length;
      const uint8_t* newline =
          static_cast<const uint8_t*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
      const uint8_t* stop = newline ? newline + 1 : end_;
      const size_t n = static_cast<size_t>(stop - pos_);
      take(pos_, n);
      length += n;
      pos_ = stop;
      if (newline) return length;
    }
  }

  bool Eof() const { return eof_; }
  bool Error() const { return error_; }
  bool AtEnd() const { return eof_ || error_; }
  // Whether the file has no byte left: true once a read finds none (and
  // Eof() is set then). False while bytes remain or after a read error.
  bool AtEndOfData() {
    if (pos_ < end_) return false;
    return !Refill() && eof_;
  }

  // Span access for the decoder's fast paths: the bytes buffered now.
  size_t Buffered() const { return static_cast<size_t>(end_ - pos_); }
  const uint8_t* Peek() const { return pos_; }
  void Skip(size_t n) { pos_ += n; }

 private:
  int Underflow();
  bool Refill();

  platform::InputFile file_;
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  const uint8_t* pos_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool ok_ = true;
  bool eof_ = false;
  bool error_ = false;
};

#endif
