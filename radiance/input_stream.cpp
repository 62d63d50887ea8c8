#include "radiance/input_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

InputStream::InputStream(int fd, size_t bufferSize) : fd_(fd) {
  capacity_ = bufferSize == 0 ? 1 : bufferSize;
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_));
  ok_ = buffer_ != nullptr;
  pos_ = end_ = buffer_;
}

InputStream::InputStream(const uint8_t* data, size_t size)
    : pos_(data), end_(data + size) {}

InputStream::~InputStream() {
  std::free(buffer_);
  if (fd_ >= 0) close(fd_);
}

bool InputStream::Refill() {
  // Like stdio since glibc 2.28, end of file and errors are sticky: once a
  // read has come back empty, no later read is tried.
  if (eof_ || error_) return false;
  if (fd_ < 0 || buffer_ == nullptr) {
    eof_ = true;
    return false;
  }
  for (;;) {
    ssize_t n = read(fd_, buffer_, capacity_);
    if (n > 0) {
      pos_ = buffer_;
      end_ = buffer_ + n;
      return true;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    if (errno != EINTR) {
      error_ = true;
      return false;
    }
  }
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
