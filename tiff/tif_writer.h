// Writing an RGB picture of 32-bit floats as an uncompressed, single-strip,
// little-endian TIFF file. The file, with no gaps and no padding (offsets
// may be odd):
//
//   offset  size         content
//   0       8            "II", 42, offset of the directory (IFD)
//   8       6            BitsPerSample: 32, 32, 32
//           len + 1      ImageDescription text, if set and longer than 3
//           8            XResolution: 72 / 1
//           8            YResolution: 72 / 1
//           len + 1      Software text, if set and longer than 3
//           len + 1      Artist text, if set and longer than 3
//           6            SampleFormat: 3, 3, 3 (IEEE float)
//           len + 1      Copyright text, if set and longer than 3
//   ifd     2 + 12N + 4  N entries (13 + texts set), tags ascending, then 0
//   ifd+12N+6  w*h*12    pixels: rows top to bottom, pixels left to right,
//                        red, green, blue as little-endian floats
//
// A text of 3 characters or fewer (4 bytes with its zero) sits in its
// directory entry, left-justified, as TIFF keeps every value that fits the
// 4-byte field. With only a 36-character Software text, a 2 x 1 picture
// has its IFD at 73 and its pixels at 247, and the file is 271 bytes long.
//
// A picture whose classic file would pass 4 GiB (the reach of its 32-bit
// offsets) is written as BigTIFF instead, with the same tags, values and
// order:
//
//   offset  size         content
//   0       16           "II", 43, 8 (bytes an offset), 0, offset of the IFD (64 bits)
//   16      len + 1      each text longer than 8 bytes with its zero, in the
//                        order above (Description, Software, Artist, Copyright)
//   ifd     8 + 20N + 8  N (64 bits), N entries (tag 16, type 16, count 64,
//                        value or offset 64), then a 64-bit 0
//   ifd+20N+16 w*h*12    pixels, as above
//
// Every value of 8 bytes or less sits in its entry, left-justified: the
// BitsPerSample and SampleFormat triples, the two resolutions, short texts.
// StripOffsets and StripByteCounts are LONG8 (type 16). With only the
// 36-character Software text the IFD lies at 53 and the pixels at 349.
#ifndef CORVALIN_TIFF_TIF_WRITER_H
#define CORVALIN_TIFF_TIF_WRITER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/output_file.h"
#include "result/result.h"

// The texts a TIFF may carry; each one set is written.
struct TiffTexts {
  std::optional<std::string> description, software, artist, copyright;
};

// Where everything lies in the TIFF of a width x height picture with these
// texts: the classic layout, or BigTIFF where the classic file would pass
// 4 GiB (or when forced, to test that layout on small pictures).
class TiffLayout {
 public:
  TiffLayout(int32_t width, int32_t height, const TiffTexts& texts, bool forceBig = false);

  // False for a negative width or height, or a file larger than 64 bits can
  // measure (checked dividing before multiplying); then nothing else here
  // means anything.
  bool Valid() const { return valid_; }
  bool Big() const { return big_; }
  // Everything before the pixel data: header, values, directory.
  const std::vector<uint8_t>& Header() const { return header_; }
  uint64_t PixelOffset() const { return header_.size(); }
  uint64_t RowBytes() const { return rowBytes_; }
  uint64_t FileSize() const { return fileSize_; }

 private:
  bool valid_ = false;
  bool big_ = false;
  std::vector<uint8_t> header_;
  uint64_t rowBytes_ = 0;
  uint64_t fileSize_ = 0;
};

// Writes count floats at offset as the file holds them, little-endian IEEE:
// straight from memory on a little-endian host, byte-swapped elsewhere.
Status WritePixels(OutputFile* file, const float* floats, size_t count, uint64_t offset);

class TIFWriter {
 public:
  // Takes a copy of fileName and borrows pixels (width * height * 3 floats,
  // rows top to bottom), which must outlive every call to Write.
  TIFWriter(const char* fileName, const float* pixels, int32_t width, int32_t height);

  // Each replaces an earlier text of its kind; nullptr removes it.
  void SetArtist(const char* text) { Set(&texts_.artist, text); }
  void SetDescription(const char* text) { Set(&texts_.description, text); }
  void SetSoftware(const char* text) { Set(&texts_.software, text); }
  void SetCopyright(const char* text) { Set(&texts_.copyright, text); }

  // Writes the whole file. Returns 1 (true) on success, 0 (false) when the
  // size is one no file can have, the file could not be created, or any
  // write or the close failed. An existing file at the name is replaced
  // only on success (see OutputFile for where that cannot be done).
  bool Write();

  // The layout Write gives the file, with the texts set now.
  TiffLayout Layout() const { return TiffLayout(width_, height_, texts_, forceBig_); }
  // Writes BigTIFF whatever the size (to test that layout on small pictures).
  void ForceBigTiff(bool big) { forceBig_ = big; }

 private:
  static void Set(std::optional<std::string>* field, const char* text);

  std::string fileName_;
  const float* pixels_;
  int32_t width_;
  int32_t height_;
  TiffTexts texts_;
  bool forceBig_ = false;
};

#endif
