// A small buffered byte stream with the semantics the Radiance reader was
// written against: single-byte reads that yield EOF at the end of the input
// or on a read error, one byte of push-back, and sticky end and error flags.
// It reads a ByteSource through a buffer of its own, or a block of memory.
//
// The end is noted only when a read finds no more bytes, never merely
// because the last byte has been taken (as stdio does): a picture whose
// last scanline ends exactly at the end of the input is whole.
#ifndef CORVALIN_RADIANCE_INPUT_STREAM_H
#define CORVALIN_RADIANCE_INPUT_STREAM_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Where the bytes come from: the driver reads the input file through one,
// tests read memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to size bytes into buffer: the count, 0 at the end of the input, or
  // -1 on a read error.
  virtual int64_t Read(void* buffer, size_t size) = 0;
};

class InputStream {
 public:
  static constexpr size_t kDefaultBufferSize = 256 * 1024;

  // Reads source, which must outlive the stream, bufferSize bytes at a
  // time (as few as 1, for tests).
  explicit InputStream(ByteSource& source, size_t bufferSize = kDefaultBufferSize);
  // Reads the size bytes at data, which must outlive the stream.
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

  // Reads one line up to and including '\n' (or to the end of the input,
  // or limit bytes), handing its bytes to take(const uint8_t* bytes, size_t
  // count) piece by piece as they are found in the buffer, so that no
  // line, however long, needs to be kept. Returns the line's length; 0
  // means no byte could be read.
  template <typename Take>
  size_t ReadLine(Take take, size_t limit = SIZE_MAX) {
    size_t length = 0;
    while (length < limit) {
      if (pos_ == end_ && !Refill()) return length;
      const size_t span = std::min<size_t>(static_cast<size_t>(end_ - pos_), limit - length);
      const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(pos_, '\n', span));
      const uint8_t* stop = newline ? newline + 1 : pos_ + span;
      const size_t n = static_cast<size_t>(stop - pos_);
      take(pos_, n);
      length += n;
      pos_ = stop;
      if (newline) return length;
    }
    return length;
  }

  // Whether a read has found the end of the input, or failed.
  bool AtEnd() const { return eof_ || error_; }
  // Whether a read found the end of the input (not an error).
  bool Ended() const { return eof_; }
  // Whether the input has no byte left: true once a read finds none. False
  // while bytes remain or after a read error.
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

  ByteSource* source_ = nullptr;
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  const uint8_t* pos_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool ok_ = true;
  bool eof_ = false;
  bool error_ = false;
};

#endif
