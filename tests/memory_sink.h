// A BandSink that gathers the bands into one upright picture in memory, for
// tests and the fuzz target. Every band it lends is filled with a value no
// pixel converts to, so a row left unconverted shows; every row must be
// given exactly once.
#ifndef CORVALIN_TESTS_MEMORY_SINK_H
#define CORVALIN_TESTS_MEMORY_SINK_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/converter.h"

class MemorySink : public BandSink {
 public:
  static constexpr float kUnset = -2.0f;

  MemorySink(int32_t width, int32_t height)
      : image(static_cast<size_t>(width) * height * 3, kUnset),
        timesGiven(static_cast<size_t>(height), 0),
        width_(width),
        band_(static_cast<size_t>(BandRows(width)) * width * 3, kUnset) {}

  float* TakeBand() override { return band_.data(); }

  void GiveBand(float* band, int32_t firstRow, int32_t count) override {
    if (band != band_.data() || firstRow < 0 || count < 1 ||
        static_cast<size_t>(firstRow) + count > timesGiven.size()) {
      badBands++;
      return;
    }
    const size_t rowFloats = static_cast<size_t>(width_) * 3;
    std::memcpy(&image[firstRow * rowFloats], band, count * rowFloats * sizeof(float));
    std::fill(band_.begin(), band_.begin() + count * rowFloats, kUnset);
    for (int32_t k = 0; k < count; ++k) timesGiven[firstRow + k]++;
  }

  bool EveryRowOnce() const {
    return badBands == 0 &&
           std::all_of(timesGiven.begin(), timesGiven.end(), [](int n) { return n == 1; });
  }

  std::vector<float> image;
  std::vector<int> timesGiven;
  int badBands = 0;

 private:
  int32_t width_;
  std::vector<float> band_;
};

#endif
