// A small buffered byte stream: single-byte reads that say, where a byte
// is missing, whether the input ended there or could not be read, one byte
// of push-back, and spans of the buffer for the decoder's fast paths. It
// reads a ByteSource through a buffer of its own, or a block of memory.
//
// The end is found only by a read that finds no more bytes, never merely
// because the last byte has been taken: a picture whose last scanline ends
// exactly at the end of the input is whole. From then on, as after a read
// error, nothing more is read.
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

  // Get's value where a read of the input failed (EOF, -1, is its end).
  static constexpr int kReadFailed = -2;

  // The next byte (0..255); EOF when none is left, kReadFailed when a read
  // failed.
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

  // Whether a read has found the end of the input, or failed: then no
  // byte is left. Asking reads nothing.
  bool AtEnd() const { return eof_ || error_; }
  // How many bytes have been taken from the stream so far.
  uint64_t Taken() const { return passed_ + static_cast<uint64_t>(pos_ - start_); }

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
  const uint8_t* start_ = nullptr;  // the buffer's first byte
  const uint8_t* pos_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t passed_ = 0;  // bytes in buffers before this one
  bool ok_ = true;
  bool eof_ = false;
  bool error_ = false;
};

#endif
