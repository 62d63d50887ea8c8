// The band ring: on one thread or two, every band the source gives is
// written once, at its place, whatever the picture's orientation; the
// source is never entered by two threads at once; and after a failed write
// no more bands are taken than were already in flight.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#if defined(CORVALIN_HAVE_SCHED_AFFINITY)
#include <pthread.h>
#include <sched.h>
#endif

#include <gtest/gtest.h>

#include "driver/band_ring.h"
#include "driver/bands.h"
#include "driver/converter.h"
#include "driver/tiff_output.h"
#include "support.h"

namespace {

// A picture of count scanlines of width pixels, given rowsPerBand
// scanlines a band as ScanlineBands gives them. repeatBand: that band is
// given twice (the second time is refused by the output).
class PictureSource : public BandSource {
 public:
  PictureSource(const Bytes& scanlines, int32_t width, int32_t height, int32_t rowsPerBand, bool bottomUp,
                bool mirrored, int repeatBand = -1)
      : scanlines_(scanlines), width_(width), height_(height), rowsPerBand_(rowsPerBand),
        bottomUp_(bottomUp), mirrored_(mirrored), repeatBand_(repeatBand) {}

  bool Next(uint8_t* band, BandPlace* place) override {
    if (inside_.exchange(true)) overlapped = true;
    const bool more = Give(band, place);
    inside_ = false;
    return more;
  }

  int taken = 0;            // bands given
  bool overlapped = false;  // two threads were in Next at once

 private:
  bool Give(uint8_t* band, BandPlace* place) {
    if (next_ >= height_) return false;
    const int32_t k0 = next_, n = std::min(rowsPerBand_, height_ - k0);
    const size_t rowBytes = static_cast<size_t>(width_) * 4;
    std::copy_n(&scanlines_[k0 * rowBytes], n * rowBytes, band);
    *place = BandPlace{bottomUp_ ? height_ - k0 - n : k0, n, bottomUp_, mirrored_};
    if (taken++ != repeatBand_) next_ += n;
    return true;
  }

  const Bytes& scanlines_;
  int32_t width_, height_, rowsPerBand_;
  bool bottomUp_, mirrored_;
  int repeatBand_;
  int32_t next_ = 0;
  std::atomic<bool> inside_{false};
};

// The upright floats of the picture, pixel by pixel.
std::vector<float> Upright(const Bytes& scanlines, int32_t width, int32_t height, bool bottomUp, bool mirrored) {
  std::vector<float> floats(static_cast<size_t>(width) * height * 3);
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t col = 0; col < width; ++col) {
      const int32_t k = bottomUp ? height - 1 - row : row, i = mirrored ? width - 1 - col : col;
      const uint8_t* p = &scanlines[(static_cast<size_t>(k) * width + i) * 4];
      for (int c = 0; c < 3; ++c) floats[(static_cast<size_t>(row) * width + col) * 3 + c] = ReferenceFloat(p[c], p[3]);
    }
  }
  return floats;
}

TEST(BandRingTest, EveryBandIsWrittenOnceAtItsPlace) {
  const int32_t width = 37, height = 29, rowsPerBand = 4;
  const Bytes scanlines = GradientPicture(width, height, 5);
  PixelConversion how;
  how.cpu.avx2 = platform::HasAVX2();
  TempDir dir;
  struct Case {
    bool threaded;
    int bands;
    bool bottomUp, mirrored;
  } cases[] = {{false, 1, false, false}, {false, 4, true, false}, {true, 4, false, false},
               {true, 4, true, true},    {true, 2, false, true},  {true, 1, true, false}};
  for (const Case& c : cases) {
    const std::string what = std::string(c.threaded ? "two threads, " : "one thread, ") +
                             std::to_string(c.bands) + " bands" + (c.bottomUp ? ", bottom-up" : "") +
                             (c.mirrored ? ", mirrored" : "");
    const std::vector<float> floats = Upright(scanlines, width, height, c.bottomUp, c.mirrored);
    TIFWriter whole((dir / "whole.tif").c_str(), floats.data(), width, height);
    whole.SetSoftware("Created by Quen Varlowby's Corvalin.");
    ASSERT_TRUE(whole.Write());

    for (int round = 0; round < 20; ++round) {  // thread interleavings differ from run to run
      std::remove((dir / "ring.tif").c_str());
      TiffOutput tiff(ConverterLayout(width, height), height);
      ASSERT_TRUE(tiff.Start(dir / "ring.tif").ok()) << what;
      BandRing ring(width, rowsPerBand, c.bands, how);
      ASSERT_TRUE(ring.Allocated());
      PictureSource source(scanlines, width, height, rowsPerBand, c.bottomUp, c.mirrored);
      ASSERT_TRUE(ring.Run(&source, &tiff, c.threaded).ok()) << what;
      ASSERT_TRUE(tiff.Finish().ok()) << what;
      EXPECT_FALSE(source.overlapped) << what;
      EXPECT_EQ(source.taken, (height + rowsPerBand - 1) / rowsPerBand) << what;
      ASSERT_EQ(Contents(dir / "ring.tif"), Contents(dir / "whole.tif")) << what << ", round " << round;
    }
  }
}

TEST(BandRingTest, AFailedWriteStopsTakingBands) {
  // The third band repeats the second's rows, which the output refuses:
  // the ring says so, and takes at most the bands that were in flight.
  const int32_t width = 16, height = 400, rowsPerBand = 2;
  const Bytes scanlines = GradientPicture(width, height, 9);
  TempDir dir;
  for (const bool threaded : {false, true}) {
    const int bands = threaded ? 4 : 1;
    TiffOutput tiff(ConverterLayout(width, height), height);
    ASSERT_TRUE(tiff.Start(dir / "failed.tif").ok());
    BandRing ring(width, rowsPerBand, bands, PixelConversion{});
    PictureSource source(scanlines, width, height, rowsPerBand, false, false, /*repeatBand=*/1);
    EXPECT_FALSE(ring.Run(&source, &tiff, threaded).ok()) << (threaded ? "two threads" : "one thread");
    EXPECT_LE(source.taken, 3 + bands) << (threaded ? "two threads" : "one thread");
    EXPECT_FALSE(tiff.Finish().ok());
    EXPECT_FALSE(FileExists(dir / "failed.tif"));
  }
}

TEST(ConversionTest, NoProcessorToSpareOnceEveryPlaceIsHeld) {
  // Conversions held here take places as other processes' would; with
  // every place taken (one a processor), a conversion has none to spare,
  // whatever else runs meanwhile.
  const int processors = static_cast<int>(std::thread::hardware_concurrency());
  if (processors < 1) GTEST_SKIP() << "the number of processors is unknown";
  std::vector<std::unique_ptr<platform::Conversion>> running;
  for (int k = 0; k < processors; ++k) running.push_back(std::make_unique<platform::Conversion>());
  EXPECT_FALSE(running.back()->ProcessorToSpare());
  EXPECT_FALSE(platform::Conversion().ProcessorToSpare());
}

}  // namespace
