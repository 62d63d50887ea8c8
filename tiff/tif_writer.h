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

#include "platform/platform.h"

class TIFWriter {
 public:
  // Takes a copy of fileName and borrows pixels (width * height * 3 floats),
  // which must outlive every call to Write. Pixels may be null for a writer
  // that is only given rows through WriteRows.
  TIFWriter(const char* fileName, const float* pixels, int32_t width,
            int32_t height);

  // Each replaces an earlier text of its kind; nullptr removes it.
  void SetArtist(const char* text) { Set(&artist_, text); }
  void SetDescription(const char* text) { Set(&description_, text); }
  void SetSoftware(const char* text) { Set(&software_, text); }
  void SetCopyright(const char* text) { Set(&copyright_, text); }

  // Writes the whole file from the pixels given to the constructor:
  // Begin, WriteRows of every row, Finish. Returns 1 (true) on success, 0
  // (false) when the file could not be created or any write or the close
  // failed. An existing file at the name is replaced only on success (see
  // platform::OutputFile for where that cannot be done).
  bool Write();

  // The streaming side, for rows that arrive a band at a time.
  enum class Begun { kStarted, kFailed, kInPlaceOnly };
  // Opens the file (under a temporary name beside fileName where it can)
  // and writes everything before the pixel data. kFailed, with nothing
  // created, for a negative size, a size no file can have, or a name that
  // cannot be written.
  // kInPlaceOnly (nothing changed) when the file could only be written in
  // place and allowInPlace is false.
  Begun Begin(bool allowInPlace = true);
  // Writes count rows (count * width * 3 floats, top to bottom) as rows
  // firstRow onwards, at their place in the file; any order, but a file
  // written in place that cannot seek (a FIFO) takes rows only in order.
  // False on failure, or for rows outside the picture.
  bool WriteRows(const float* rows, int32_t firstRow, int32_t count);
  // Puts the file in place. False when a row was neither written nor
  // skipped, or extending the file, the close or the rename failed;
  // nothing is left at the name then but what was there before (or,
  // written in place, what was written).
  bool Finish();
  // Drops the file begun: the temporary file is removed. The destructor
  // does this for a file not finished.
  void Abandon() { file_.Abandon(); }
  // Whether the file begun is written in place rather than replaced.
  bool InPlace() const { return file_.InPlace(); }

  // Marks count rows from firstRow as zeros that are never written: the
  // file is extended over them at Finish, so that they are a hole, which
  // reads as zeros (file systems without holes fill it in). False, and
  // nothing marked, where the file cannot have holes (written in place
  // to a FIFO or a device) or for rows outside the picture.
  bool SkipRows(int32_t firstRow, int32_t count);
  // Whether SkipRows can serve the file begun.
  bool CanSkipRows() const { return file_.CanHaveHoles(); }

  // Where the pixel data starts with the texts set now.
  uint64_t PixelDataOffset() const;
  // The whole file's size; false for a size no file can have (past 64
  // bits) or a negative width or height.
  bool FileSize(uint64_t* bytes) const;
  // Whether the file is a BigTIFF: the classic one would pass 4 GiB.
  bool NeedsBigTiff() const;
  // Writes BigTIFF whatever the size (to test that layout on small pictures).
  void ForceBigTiff(bool big) { forceBig_ = big; }

 private:
  std::vector<uint8_t> Header(uint64_t pixelBytes) const;
  static void Set(std::optional<std::string>* field, const char* text);

  std::string fileName_;
  const float* pixels_;
  int32_t width_;
  int32_t height_;
  std::optional<std::string> artist_;
  std::optional<std::string> description_;
  std::optional<std::string> software_;
  std::optional<std::string> copyright_;
  platform::OutputFile file_;
  bool forceBig_ = false;
  uint64_t pixelOffset_ = 0;  // of the file begun
  uint64_t fileSize_ = 0;     // of the file begun
  uint64_t rowsWritten_ = 0;  // written or skipped
  bool rowsSkipped_ = false;
};

#endif
