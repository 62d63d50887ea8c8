#include "radiance/input_stream.h"

#include <cstdlib>

InputStream::InputStream(ByteSource& source, size_t bufferSize) : source_(&source) {
  capacity_ = bufferSize == 0 ? 1 : bufferSize;
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_));
  ok_ = buffer_ != nullptr;
  start_ = pos_ = end_ = buffer_;
}

InputStream::InputStream(const uint8_t* data, size_t size) : start_(data), pos_(data), end_(data + size) {}

InputStream::~InputStream() { std::free(buffer_); }

bool InputStream::Refill() {
  // Once a read has come back empty or failed, no later read is tried.
  if (eof_ || error_) return false;
  if (!source_ || !buffer_) {
    eof_ = true;
    return false;
  }
  const int64_t n = source_->Read(buffer_, capacity_);
  if (n > 0) {
    passed_ += static_cast<uint64_t>(end_ - start_);
    start_ = pos_ = buffer_;
    end_ = buffer_ + n;
    return true;
  }
  (n == 0 ? eof_ : error_) = true;
  return false;
}

int InputStream::Underflow() {
  if (!Refill()) return error_ ? kReadFailed : EOF;
  return *pos_++;
}
