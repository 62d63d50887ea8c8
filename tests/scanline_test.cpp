// The scanline decoder and the RGBE to float conversion.
#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include <random>

#include <gtest/gtest.h>

#include "memory_io.h"
#include "platform/platform.h"
#include "radiance/radiance.h"
#include "support.h"

namespace {

// The decoder reads memory in place (every fast path), or through the
// stream's buffer a few bytes a read (the byte-at-a-time paths); both
// must decode the same.
class ScanlineTest : public testing::TestWithParam<size_t> {
 protected:
  // Decodes one scanline into a buffer of exactly width pixels, first
  // filled with 0xAA so that bytes the decoder never reached stand out.
  Result Decode(const Bytes& data, int32_t width, Bytes* out) {
    data_ = data;
    decoder_.reset();
    if (GetParam() == 0) {
      stream_ = std::make_unique<InputStream>(data_.data(), data_.size());
    } else {
      source_ = std::make_unique<MemorySource>(data_.data(), data_.size(), GetParam());
      stream_ = std::make_unique<InputStream>(*source_, GetParam());
    }
    decoder_ = std::make_unique<ScanlineDecoder>(*stream_);
    out->assign(static_cast<size_t>(width) * 4, 0xAA);
    return decoder_->Decode(out->data(), width);
  }
  InputStream& in() { return *stream_; }

 private:
  Bytes data_;
  std::unique_ptr<MemorySource> source_;
  std::unique_ptr<InputStream> stream_;
  std::unique_ptr<ScanlineDecoder> decoder_;
};

INSTANTIATE_TEST_SUITE_P(Streams, ScanlineTest, testing::Values(0, 1, 3, 4096),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return info.param == 0 ? std::string("InPlace")
                                                  : "Buffer" + std::to_string(info.param);
                         });

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Repeat(const Bytes& pixel, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.insert(out.end(), pixel.begin(), pixel.end());
  return out;
}

TEST_P(ScanlineTest, ShortAndLongLinesAreAlwaysFlat) {
  for (int32_t width : {7, 32768}) {
    // Starts with 2, 2 and a plausible length: still flat for these widths.
    Bytes line = Concat({{2, 2, static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width)},
                         Repeat({9, 8, 7, 6}, width - 1)});
    Bytes out;
    EXPECT_EQ(Decode(line, width, &out), Result::kOk) << width;
    EXPECT_EQ(out, line) << width;
  }
}

TEST_P(ScanlineTest, TopBitInThirdByteMeansFlat) {
  Bytes line = Concat({{2, 2, 0x85, 60}, Repeat({5, 6, 7, 8}, 7)});
  Bytes out;
  EXPECT_EQ(Decode(line, 8, &out), Result::kOk);
  EXPECT_EQ(out, line);
}

TEST_P(ScanlineTest, SecondByteNotTwoMeansFlat) {
  Bytes line = Concat({{2, 3, 1, 0}, Repeat({5, 6, 7, 8}, 7)});
  Bytes out;
  EXPECT_EQ(Decode(line, 8, &out), Result::kOk);
  EXPECT_EQ(out, line);
}

TEST_P(ScanlineTest, RunLengthHeaderMustNameTheWidth) {
  // Four runs of 128 + 128 values fill 256 pixels.
  Bytes planes = Repeat({255, 1, 255, 1, 130, 1}, 4);  // 127 + 127 + 2
  Bytes body = Concat({{2, 2, 1, 0}, planes});
  Bytes out;
  EXPECT_EQ(Decode(body, 256, &out), Result::kOk);
  EXPECT_EQ(out, Bytes(256 * 4, 1));
  EXPECT_EQ(Decode(body, 255, &out), Result::kCorrupt);
}

TEST_P(ScanlineTest, RunAndLiteralCodes) {
  // Width 259: 127 (code 255) + 1 (code 129) + 0 (code 0) + 3 + 128 (literal 128).
  const int32_t width = 259;
  Bytes literal128(128);
  for (int k = 0; k < 128; ++k) literal128[k] = static_cast<uint8_t>(100 + k);
  Bytes red = Concat({{255, 42, 129, 7, 0, 3, 10, 20, 30, 128}, literal128});
  Bytes rest = {255, 1, 255, 1, 133, 1};  // 127 + 127 + 5
  Bytes data = Concat({{2, 2, 1, 3}, red, rest, rest, rest});
  Bytes out;
  ASSERT_EQ(Decode(data, width, &out), Result::kOk);
  Bytes wantRed = Concat({Bytes(127, 42), {7, 10, 20, 30}, literal128});
  for (int32_t i = 0; i < width; ++i) {
    ASSERT_EQ(out[4 * i], wantRed[i]) << "pixel " << i;
    ASSERT_EQ(out[4 * i + 1], 1) << "pixel " << i;
    ASSERT_EQ(out[4 * i + 2], 1) << "pixel " << i;
    ASSERT_EQ(out[4 * i + 3], 1) << "pixel " << i;
  }
  EXPECT_EQ(in().Get(), EOF);
}

TEST_P(ScanlineTest, RepetitionMarkers) {
  const Bytes p = {10, 20, 30, 131};
  struct Case {
    const char* name;
    Bytes data;
    int32_t width;
    Bytes want;
  } cases[] = {
      {"ThreeCopies", Concat({p, {1, 1, 1, 3}}), 4, Repeat(p, 4)},
      {"ZeroCountOnlyRaisesShift", Concat({p, {1, 1, 1, 0}, {4, 4, 4, 4}}), 2, Concat({p, {4, 4, 4, 4}})},
      // 2, then 1 << 8: 258 copies.
      {"ChainedCounts", Concat({p, {1, 1, 1, 2}, {1, 1, 1, 1}}), 259, Repeat(p, 259)},
      // A plain pixel resets the shift: 1 + 1 copies, not 1 + 256.
      {"ShiftResets", Concat({p, {1, 1, 1, 1}, {9, 9, 9, 9}, {1, 1, 1, 1}}), 4,
       Concat({p, p, {9, 9, 9, 9}, {9, 9, 9, 9}})},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_EQ(Decode(c.data, c.width, &out), Result::kOk) << c.name;
    EXPECT_EQ(out, c.want) << c.name;
  }
}

TEST_P(ScanlineTest, MarkerAfterFlatPixelStartingWithTwo) {
  // The first pixel came through the run-length check; a marker may repeat it.
  Bytes data = {2, 2, 0x90, 5, 1, 1, 1, 7};
  Bytes out;
  EXPECT_EQ(Decode(data, 8, &out), Result::kOk);
  EXPECT_EQ(out, Repeat({2, 2, 0x90, 5}, 8));
}

TEST_P(ScanlineTest, OutOfBoundsRequestsFail) {
  struct Case {
    const char* name;
    Bytes data;
    int32_t width;
    size_t consumed;  // where the decoder must stop: before any data byte
  } cases[] = {
      {"RunPastEnd", {2, 2, 0, 8, 137, 5}, 8, 5},
      {"RunPastEndLaterComponent", {2, 2, 0, 8, 136, 5, 130, 1, 135, 1}, 8, 9},
      {"LiteralPastEnd", {2, 2, 0, 8, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 8, 5},
      {"LiteralPastEndAfterRun", {2, 2, 0, 8, 134, 5, 3, 1, 2, 3}, 8, 7},
      {"MarkerInFirstPixel", {1, 1, 1, 1, 5, 5, 5, 5}, 2, 4},
      {"MarkerInFirstPixelCountZero", {1, 1, 1, 0, 5, 5, 5, 5}, 2, 4},
      {"RepeatPastEnd", {5, 5, 5, 5, 1, 1, 1, 3}, 3, 8},
      // Counts 1, 1 << 8, 1 << 16, 1 << 24, 1 << 32, ...: past any scanline.
      {"ChainedShiftOf24", Concat({{5, 5, 5, 5}, {1, 1, 1, 0}, {1, 1, 1, 0}, {1, 1, 1, 0}, {1, 1, 1, 1}}), 4, 20},
      {"ChainedShiftOf40", Concat({{5, 5, 5, 5}, Repeat({1, 1, 1, 0}, 5), {1, 1, 1, 255}}), 4, 28},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_EQ(Decode(c.data, c.width, &out), Result::kCorrupt) << c.name;
    // What is left in the stream tells where the decoder stopped.
    size_t left = 0;
    while (in().Get() != EOF) ++left;
    EXPECT_EQ(c.data.size() - left, c.consumed) << c.name;
  }
}

TEST_P(ScanlineTest, ManyZeroMarkersDoNotOverflowTheShift) {
  Bytes data = Concat({{5, 5, 5, 5}, Repeat({1, 1, 1, 0}, 5000), {6, 6, 6, 6}});
  Bytes out;
  EXPECT_EQ(Decode(data, 2, &out), Result::kOk);
  EXPECT_EQ(out, Concat({{5, 5, 5, 5}, {6, 6, 6, 6}}));
}

TEST_P(ScanlineTest, TruncatedRunLengthLineStoresZeros) {
  // Width 8, each component a literal of 8: r = 1..8, g = 11.., b = 21.., e = 31..
  Bytes data = {2, 2, 0, 8};
  for (int c = 0; c < 4; ++c) {
    data.push_back(8);
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(10 * c + i + 1));
  }
  for (int c = 0; c < 4; ++c) {
    // Cut after three of component c's eight literal bytes.
    const size_t cut = 4 + 9 * c + 1 + 3;
    Bytes out;
    EXPECT_EQ(Decode(Bytes(data.begin(), data.begin() + cut), 8, &out), Result::kEndedEarly) << c;
    for (int i = 0; i < 8; ++i) {
      for (int k = 0; k < 4; ++k) {
        // Pixel 0's components 1 and 2 hold the header's 2 and 0 until
        // their planes are decoded.
        const uint8_t notReached = i == 0 && k == 1 ? 2 : i == 0 && k == 2 ? 0 : 0xAA;
        const uint8_t want = k < c || (k == c && i < 3) ? 10 * k + i + 1  // read
                             : k == c                   ? 0               // missing
                                                        : notReached;
        EXPECT_EQ(out[4 * i + k], want) << "component " << c << " pixel " << i << "." << k;
      }
    }
  }
}

TEST_P(ScanlineTest, TruncatedFlatLineStoresZeros) {
  Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};  // two pixels and half of a third
  Bytes out;
  EXPECT_EQ(Decode(data, 3, &out), Result::kEndedEarly);
  EXPECT_EQ(out, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
}

TEST_P(ScanlineTest, TruncatedRunValueStoresZero) {
  Bytes out;
  EXPECT_EQ(Decode({2, 2, 0, 8, 136}, 8, &out), Result::kEndedEarly);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[4 * i], 0) << i;
}

TEST_P(ScanlineTest, EndOfFileRightAfterLastByteIsSuccess) {
  Bytes pixels = GradientPicture(40, 1);
  Bytes out;
  EXPECT_EQ(Decode(EncodeScanline(pixels, Encoding::kRunLength), 40, &out), Result::kOk);
  EXPECT_EQ(out, pixels);
  EXPECT_EQ(Decode(EncodeScanline(pixels, Encoding::kFlat), 40, &out), Result::kOk);
  EXPECT_EQ(out, pixels);
}

TEST_P(ScanlineTest, EmptyInputFailsAtEndOfFile) {
  for (int32_t width : {1, 8}) {
    Bytes out;
    EXPECT_EQ(Decode({}, width, &out), Result::kEndedEarly) << width;
  }
}

// Little-endian bytes of a float.
std::string FloatBytes(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  char s[12];
  std::snprintf(s, sizeof s, "%02x %02x %02x %02x", bits & 255, bits >> 8 & 255, bits >> 16 & 255,
                bits >> 24);
  return s;
}

TEST(RGBEToFloatTest, KnownPixels) {
  struct Case {
    uint8_t pixel[4];
    const char* bytes[3];
  } cases[] = {
      {{128, 128, 128, 128}, {"00 80 00 3f", "00 80 00 3f", "00 80 00 3f"}},
      {{255, 0, 10, 129}, {"00 80 ff 3f", "00 00 80 3b", "00 00 a8 3d"}},
      {{1, 1, 1, 129}, {"00 00 40 3c", "00 00 40 3c", "00 00 40 3c"}},
      {{200, 100, 50, 0}, {"00 00 00 00", "00 00 00 00", "00 00 00 00"}},
      {{255, 255, 255, 255}, {"00 80 ff 7e", "00 80 ff 7e", "00 80 ff 7e"}},
      {{0, 0, 0, 1}, {"00 20 00 00", "00 20 00 00", "00 20 00 00"}},  // 2^-136: subnormal
  };
  for (const Case& c : cases) {
    float out[3];
    RGBEToFloat(out, c.pixel);
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(FloatBytes(out[k]), c.bytes[k]) << int(c.pixel[0]) << "," << int(c.pixel[3]) << " #" << k;
  }
  float out[3];
  RGBEToFloat(out, std::array<uint8_t, 4>{200, 100, 50, 0}.data());
  EXPECT_FALSE(std::signbit(out[0]));
}

TEST(RGBEToFloatTest, TableMatchesLdexpForEveryExponentAndMantissa) {
  for (int e = 0; e < 256; ++e) {
    for (int m = 0; m < 256; ++m) {
      const uint8_t pixel[4] = {static_cast<uint8_t>(m), static_cast<uint8_t>(255 - m),
                                static_cast<uint8_t>(m ^ 0x55), static_cast<uint8_t>(e)};
      float out[3];
      RGBEToFloat(out, pixel);
      for (int k = 0; k < 3; ++k) {
        const float want = ReferenceFloat(pixel[k], pixel[3]);
        ASSERT_EQ(std::memcmp(&out[k], &want, 4), 0) << "m=" << int(pixel[k]) << " e=" << e;
      }
    }
  }
}

TEST(RGBEToFloatTest, RowMatchesLdexpForEveryExponentAndMantissa) {
  // Every (mantissa, exponent) pair in each component, in one long row: in
  // order, and shuffled so that small and large exponents share the groups
  // the vector code takes at once. Each way of converting a row must give
  // ldexp's floats and write nothing past the row.
  Bytes ordered;
  for (int e = 0; e < 256; ++e)
    for (int m = 0; m < 256; ++m)
      ordered.insert(ordered.end(), {static_cast<uint8_t>(m), static_cast<uint8_t>(255 - m),
                                     static_cast<uint8_t>(m ^ 0x55), static_cast<uint8_t>(e)});
  Bytes shuffled = ordered;
  std::mt19937 rng(3);
  for (size_t i = shuffled.size() / 4 - 1; i > 0; --i)
    std::swap_ranges(&shuffled[4 * i], &shuffled[4 * i] + 4, &shuffled[4 * (rng() % (i + 1))]);
  struct Way {
    const char* name;
    void (*convert)(float*, const uint8_t*, int32_t);
  } ways[] = {{"RGBEToFloatRow",
               [](float* out, const uint8_t* pixels, int32_t count) {
                 RGBEToFloatRow(out, pixels, count, CpuFeatures{platform::HasAVX2()});
               }},
              {"baseline", rgbe_rows::Baseline},
              {"AVX2", rgbe_rows::AVX2}};
  for (const Way& way : ways) {
    if (way.convert == rgbe_rows::AVX2 && !platform::HasAVX2()) continue;
    for (const Bytes* row : {&ordered, &shuffled}) {
      for (int32_t count : {static_cast<int32_t>(row->size() / 4), 13, 9, 8, 5, 1}) {
        std::vector<float> out(static_cast<size_t>(count) * 3 + 1, 42.0f);
        way.convert(out.data(), row->data(), count);
        for (int32_t i = 0; i < count; ++i) {
          for (int k = 0; k < 3; ++k) {
            const float want = ReferenceFloat((*row)[4 * i + k], (*row)[4 * i + 3]);
            ASSERT_EQ(std::memcmp(&out[3 * i + k], &want, 4), 0)
                << way.name << ": pixel " << i << " component " << k << " of " << count;
          }
        }
        EXPECT_EQ(out.back(), 42.0f) << way.name << " wrote past a row of " << count;
      }
    }
  }
}

}  // namespace
