// Writing an RGB picture of 32-bit floats as an uncompressed, single-strip,
// little-endian TIFF file. The file, with no gaps and no padding (offsets
// may be odd):
//
//   offset  size         content
//   0       8            "II", 42, offset of the directory (IFD)
//   8       6            BitsPerSample: 32, 32, 32
//           len + 1      ImageDescription text, if set
//           8            XResolution: 72 / 1
//           8            YResolution: 72 / 1
//           len + 1      Software text, if set
//           len + 1      Artist text, if set
//           6            SampleFormat: 3, 3, 3 (IEEE float)
//           len + 1      Copyright text, if set
//   ifd     2 + 12N + 4  N entries (13 + texts set), tags ascending, then 0
//   ifd+12N+6  w*h*12    pixels: rows top to bottom, pixels left to right,
//                        red, green, blue as little-endian floats
//
// With only a 36-character Software text, a 2 x 1 picture has its IFD at 73
// and its pixels at 247, and the file is 271 bytes long.
#ifndef CORVALIN_TIFF_TIF_WRITER_H
#define CORVALIN_TIFF_TIF_WRITER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TIFWriter {
 public:
  // Takes a copy of fileName and borrows pixels (width * height * 3 floats),
  // which must outlive every call to Write.
  TIFWriter(const char* fileName, const float* pixels, int32_t width,
            int32_t height);

  // Each replaces an earlier text of its kind; nullptr removes it.
  void SetArtist(const char* text) { Set(&artist_, text); }
  void SetDescription(const char* text) { Set(&description_, text); }
  void SetSoftware(const char* text) { Set(&software_, text); }
  void SetCopyright(const char* text) { Set(&copyright_, text); }

  // Creates (or truncates) the file and writes it whole. Returns 1 (true) on
  // success, 0 (false) when the file could not be created or any write,
  // flush or close failed; a file it created is then removed again. Also 0,
  // with no file created, for a negative size or a picture whose file would
  // pass the 4 GiB that TIFF's 32-bit offsets can address.
  bool Write();

  // Called after each piece of the pixel data is in the file (or in the
  // stream's buffer), with the floats it held, so that their owner may
  // release the memory at once. A hook that releases them makes a second
  // Write meaningless.
  using PixelsWrittenHook = std::function<void(const float* pixels, size_t count)>;
  void SetPixelsWrittenHook(PixelsWrittenHook hook) { pixelsWritten_ = std::move(hook); }

  // Where the pixel data starts with the texts set now.
  uint64_t PixelDataOffset() const;

 private:
  std::vector<uint8_t> Header(uint32_t pixelBytes) const;
  static void Set(std::optional<std::string>* field, const char* text);

  std::string fileName_;
  const float* pixels_;
  int32_t width_;
  int32_t height_;
  std::optional<std::string> artist_;
  std::optional<std::string> description_;
  std::optional<std::string> software_;
  std::optional<std::string> copyright_;
  PixelsWrittenHook pixelsWritten_;
};

#endif
