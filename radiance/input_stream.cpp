#include "radiance/input_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

InputStream::InputStream(platform::InputFile file, size_t bufferSize) : file_(std::move(file)) {
  capacity_ = bufferSize == 0 ? 1 : bufferSize;
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_));
  ok_ = buffer_ != nullptr;
  pos_ = end_ = buffer_;
}

InputStream::InputStream(const uint8_t* data, size_t size)
    : pos_(data), end_(data + size) {}

InputStream::~InputStream() { std::free(buffer_); }

bool InputStream::Refill() {
  // Like stdio since glibc 2.28, end of file and errors are sticky: once a
  // read has come back empty, no later read is tried.
  if (eof_ || error_) return false;
  if (!file_.IsOpen() || buffer_ == nullptr) {
    eof_ = true;
    return false;
  }
  const int64_t n = file_.Read(buffer_, capacity_);
  if (n > 0) {
    pos_ = buffer_;
    end_ = buffer_ + n;
    return true;
  }
  (n == 0 ? eof_ : error_) = true;
  return false;
}

int InputStream::Underflow() {
  if (!Refill()) return EOF;
  return *pos_++;
}

size_t InputStream::ReadLine(std::string* line, size_t keep) {
  line->clear();
  return ReadLineInPieces([&](const uint8_t* bytes, size_t n) {
    if (line->size() < keep)
      line->append(reinterpret_cast<const char*>(bytes), std::min(n, keep - line->size()));
  });
}
