// Decoding from memory and converting into it, for tests and the fuzz
// target: a ByteSource that gives a few bytes a read, and a sink that
// gathers the bands into one upright picture of floats.
#ifndef CORVALIN_TESTS_MEMORY_IO_H
#define CORVALIN_TESTS_MEMORY_IO_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/bands.h"

// The size bytes at data, at most chunk of them a read, as a file or a pipe
// may give them. data must outlive the source.
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size, size_t chunk = SIZE_MAX)
      : data_(data), left_(size), chunk_(chunk) {}
  int64_t Read(void* buffer, size_t size) override {
    const size_t n = std::min({size, left_, chunk_});
    if (n > 0) std::memcpy(buffer, data_, n);
    data_ += n;
    left_ -= n;
    return static_cast<int64_t>(n);
  }

 private:
  const uint8_t* data_;
  size_t left_, chunk_;
};

// Places no band reaches keep a value no pixel converts to, so a row never
// given shows; every row must be given exactly once.
class MemorySink {
 public:
  static constexpr float kUnset = -2.0f;

  // Bands of rowsPerBand rows of a width x height picture.
  MemorySink(int32_t width, int32_t height, int32_t rowsPerBand, const PixelConversion& how)
      : image(static_cast<size_t>(width) * height * 3, kUnset),
        timesGiven(static_cast<size_t>(height), 0),
        width_(width),
        rowsPerBand_(rowsPerBand),
        how_(how),
        band_(static_cast<size_t>(rowsPerBand) * width * 4),
        floats_(static_cast<size_t>(rowsPerBand) * width * 3, kUnset) {}

  // Every band source gives, each into exactly a band's room.
  void TakeAll(BandSource& source) {
    BandPlace place;
    while (source.Next(band_.data(), &place)) Give(place);
  }

  // Rows first to first + count - 1 were given once each, the others never.
  bool OnlyRowsOnce(int32_t first, int32_t count) const {
    if (badBands != 0) return false;
    for (size_t y = 0; y < timesGiven.size(); ++y)
      if (timesGiven[y] != (static_cast<int32_t>(y) >= first && static_cast<int32_t>(y) < first + count ? 1 : 0))
        return false;
    return true;
  }

  // The rows never given become zeros, as the hole they are left in the file reads.
  void ZeroRowsNotGiven() {
    const size_t rowFloats = image.size() / timesGiven.size();
    for (size_t y = 0; y < timesGiven.size(); ++y)
      if (timesGiven[y] == 0) std::fill_n(image.begin() + y * rowFloats, rowFloats, 0.0f);
  }

  std::vector<float> image;
  std::vector<int> timesGiven;
  int badBands = 0;

 private:
  int32_t width_;
  int32_t rowsPerBand_;
  PixelConversion how_;
  std::vector<uint8_t> band_;
  std::vector<float> floats_;

  void Give(const BandPlace& place) {
    const int32_t right = std::min(place.right, width_);
    if (place.firstRow < 0 || place.count < 1 || place.count > rowsPerBand_ ||
        static_cast<size_t>(place.firstRow) + place.count > timesGiven.size() || place.left < 0 ||
        place.left > right || (place.mirrored && (place.left > 0 || right < width_))) {
      badBands++;
      return;
    }
    const size_t rowFloats = static_cast<size_t>(width_) * 3;
    ConvertBand(band_.data(), width_, place, how_, floats_.data());
    // Only the band's columns are converted; the others are zeros, as the
    // file's holes read.
    for (int32_t j = 0; j < place.count; ++j) {
      const auto from = floats_.begin() + j * rowFloats;
      const auto to = image.begin() + (place.firstRow + j) * rowFloats;
      std::fill(to, to + rowFloats, 0.0f);
      std::copy(from + 3 * place.left, from + 3 * right, to + 3 * place.left);
    }
    std::fill(floats_.begin(), floats_.begin() + place.count * rowFloats, kUnset);
    for (int32_t k = 0; k < place.count; ++k) timesGiven[place.firstRow + k]++;
  }
};

#endif
