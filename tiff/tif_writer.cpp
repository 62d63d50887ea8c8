#include "tiff/tif_writer.h"

#include <cstring>
#include <vector>

namespace {

// Classic TIFF: 8-byte header, 12-byte entries whose value field holds 4
// bytes, 32-bit offsets. BigTIFF: 16-byte header, 20-byte entries whose
// value field holds 8 bytes, 64-bit offsets and counts.
struct Format {
  bool big;
  size_t entrySize() const { return big ? 20 : 12; }
  size_t valueField() const { return big ? 8 : 4; }
  // The entry count before the entries, the next-directory offset after them.
  size_t countSize() const { return big ? 8 : 2; }
  size_t nextSize() const { return big ? 8 : 4; }
};

constexpr size_t kMaxEntries = 17;
constexpr uint64_t kClassicLimit = 0xffffffffu;  // 32-bit offsets
constexpr uint64_t kBytesPerPixel = 12;          // three floats

enum FieldType : uint16_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kLong8 = 16 };

// An entry's value: the bytes themselves when they fit the value field
// (left-justified, the rest zero), else the offset of the bytes out of line.
struct Entry {
  uint16_t tag;
  uint16_t type;
  uint64_t count;
  uint64_t value;
};

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

void Put64(std::vector<uint8_t>* out, uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

void PutOffset(const Format& f, std::vector<uint8_t>* out, uint64_t v) {
  if (f.big)
    Put64(out, v);
  else
    Put32(out, static_cast<uint32_t>(v));
}

// A small value as it lies in a value field: little-endian bytes, left-justified.
uint64_t Packed(const std::vector<uint8_t>& bytes) {
  uint64_t v = 0;
  for (size_t k = 0; k < bytes.size(); ++k) v |= uint64_t{bytes[k]} << (8 * k);
  return v;
}

// Everything before the pixel data: header, out-of-line values, directory.
//
// Classic files keep every value longer than one number out of line (the
// BitsPerSample and SampleFormat triples, the two resolutions, the texts),
// in the order of the layout table. BigTIFF's 8-byte value fields hold the
// triples and the resolutions themselves, as its readers expect of any
// value of 8 bytes or less, so only the longer texts lie out of line, in
// the same order.
std::vector<uint8_t> BuildHeader(const Format& f, int32_t width, int32_t height, uint64_t pixelBytes,
                                 const std::optional<std::string>& description,
                                 const std::optional<std::string>& software,
                                 const std::optional<std::string>& artist,
                                 const std::optional<std::string>& copyright) {
  std::vector<uint8_t> out = {'I', 'I'};
  if (f.big) {
    Put16(&out, 43);
    Put16(&out, 8);  // bytes in an offset
    Put16(&out, 0);
    Put64(&out, 0);  // the directory's offset, known below
  } else {
    Put16(&out, 42);
    Put32(&out, 0);
  }

  // A value's place: BigTIFF keeps values of up to 8 bytes in the entry
  // itself; the rest (every value of the classic file, even a text of four
  // bytes or less, as files written so far have them) is appended here.
  auto put = [&](const std::vector<uint8_t>& bytes) -> uint64_t {
    if (f.big && bytes.size() <= f.valueField()) return Packed(bytes);
    const uint64_t at = out.size();
    out.insert(out.end(), bytes.begin(), bytes.end());
    return at;
  };
  auto text = [](const std::string& t) {
    std::vector<uint8_t> bytes(t.begin(), t.end());
    bytes.push_back(0);
    return bytes;
  };
  const std::vector<uint8_t> thirtyTwos = {32, 0, 32, 0, 32, 0}, threes = {3, 0, 3, 0, 3, 0};
  const std::vector<uint8_t> seventyTwo = {72, 0, 0, 0, 1, 0, 0, 0};  // 72 / 1

  const uint64_t bits = put(thirtyTwos);
  const uint64_t descriptionAt = description ? put(text(*description)) : 0;
  const uint64_t xResolution = put(seventyTwo);
  const uint64_t yResolution = put(seventyTwo);
  const uint64_t softwareAt = software ? put(text(*software)) : 0;
  const uint64_t artistAt = artist ? put(text(*artist)) : 0;
  const uint64_t sampleFormat = put(threes);
  const uint64_t copyrightAt = copyright ? put(text(*copyright)) : 0;

  Entry entries[kMaxEntries];
  size_t n = 0;
  auto add = [&](uint16_t tag, uint16_t type, uint64_t count, uint64_t value) {
    entries[n++] = Entry{tag, type, count, value};
  };
  auto count = [](const std::string& t) { return static_cast<uint64_t>(t.size() + 1); };
  const uint64_t ifd = out.size();
  const uint16_t offsetType = f.big ? kLong8 : kLong;

  add(256, kLong, 1, static_cast<uint32_t>(width));
  add(257, kLong, 1, static_cast<uint32_t>(height));
  add(258, kShort, 3, bits);
  add(259, kShort, 1, 1);  // no compression
  add(262, kShort, 1, 2);  // RGB
  if (description) add(270, kAscii, count(*description), descriptionAt);
  const size_t stripOffsets = n;
  add(273, offsetType, 1, 0);  // known once the directory is complete
  add(277, kShort, 1, 3);      // samples per pixel
  add(278, kLong, 1, static_cast<uint32_t>(height));  // one strip
  add(279, offsetType, 1, pixelBytes);
  add(282, kRational, 1, xResolution);
  add(283, kRational, 1, yResolution);
  add(296, kShort, 1, 2);  // inch
  if (software) add(305, kAscii, count(*software), softwareAt);
  if (artist) add(315, kAscii, count(*artist), artistAt);
  add(339, kShort, 3, sampleFormat);
  if (copyright) add(33432, kAscii, count(*copyright), copyrightAt);

  entries[stripOffsets].value = ifd + f.countSize() + f.entrySize() * n + f.nextSize();
  const size_t ifdField = f.big ? 8 : 4;  // where the header holds the directory's offset
  for (size_t k = 0; k < (f.big ? 8u : 4u); ++k) out[ifdField + k] = static_cast<uint8_t>(ifd >> (8 * k));
  if (f.big)
    Put64(&out, n);
  else
    Put16(&out, static_cast<uint16_t>(n));
  for (size_t k = 0; k < n; ++k) {
    Put16(&out, entries[k].tag);
    Put16(&out, entries[k].type);
    PutOffset(f, &out, entries[k].count);
    PutOffset(f, &out, entries[k].value);
  }
  PutOffset(f, &out, 0);  // no further directory
  return out;
}

// Rows go out straight from the caller's floats on a little-endian host,
// which lie in memory as the file wants them; elsewhere they are
// byte-swapped through a small buffer.
bool WriteFloats(platform::OutputFile* file, const float* floats, size_t count, uint64_t offset) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  uint8_t chunk[64 * 1024];
  const size_t perChunk = sizeof(chunk) / 4;
  for (size_t done = 0; done < count;) {
    const size_t n = count - done < perChunk ? count - done : perChunk;
    for (size_t k = 0; k < n; ++k) {
      uint32_t bits;
      std::memcpy(&bits, floats + done + k, 4);
      for (int b = 0; b < 4; ++b) chunk[4 * k + b] = static_cast<uint8_t>(bits >> (8 * b));
    }
    if (!file->WriteAt(chunk, 4 * n, offset + 4 * done)) return false;
    done += n;
  }
  return true;
#else
  return file->WriteAt(floats, count * sizeof(float), offset);
#endif
}

}  // namespace

TIFWriter::TIFWriter(const char* fileName, const float* pixels, int32_t width,
                     int32_t height)
    : fileName_(fileName), pixels_(pixels), width_(width), height_(height) {}

void TIFWriter::Set(std::optional<std::string>* field, const char* text) {
  if (text)
    *field = text;
  else
    field->reset();
}

// Whether a picture needs BigTIFF: the classic file would pass the 4 GiB
// its 32-bit offsets address. False for sizes no file can have too (Begin
// refuses those).
bool TIFWriter::NeedsBigTiff() const {
  if (forceBig_) return true;
  const uint64_t header = BuildHeader(Format{false}, width_, height_, 0, description_, software_, artist_,
                                      copyright_).size();
  const uint64_t pixels = static_cast<uint64_t>(width_ < 0 ? 0 : width_) * static_cast<uint64_t>(height_ < 0 ? 0 : height_);
  // Divide before multiplying: width * height fits 64 bits, times 12 may not.
  return pixels > (kClassicLimit - header) / kBytesPerPixel;
}

std::vector<uint8_t> TIFWriter::Header(uint64_t pixelBytes) const {
  return BuildHeader(Format{NeedsBigTiff()}, width_, height_, pixelBytes, description_, software_, artist_,
                     copyright_);
}

uint64_t TIFWriter::PixelDataOffset() const { return Header(0).size(); }

bool TIFWriter::FileSize(uint64_t* bytes) const {
  if (width_ < 0 || height_ < 0) return false;
  const uint64_t header = PixelDataOffset();
  const uint64_t pixels = static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_);
  if (pixels > (UINT64_MAX - header) / kBytesPerPixel) return false;
  *bytes = header + pixels * kBytesPerPixel;
  return true;
}

TIFWriter::Begun TIFWriter::Begin(bool allowInPlace) {
  uint64_t total;
  if (!FileSize(&total)) return Begun::kFailed;
  // FileSize has checked that the pixels' byte count fits.
  const std::vector<uint8_t> header =
      Header(static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_) * kBytesPerPixel);

  switch (file_.Start(fileName_, allowInPlace)) {
    case platform::OutputFile::Open::kFailed:
      return Begun::kFailed;
    case platform::OutputFile::Open::kInPlaceOnly:
      return Begun::kInPlaceOnly;
    case platform::OutputFile::Open::kOpened:
      break;
  }
  if (!file_.WriteAt(header.data(), header.size(), 0)) {
    file_.Abandon();
    return Begun::kFailed;
  }
  pixelOffset_ = header.size();
  fileSize_ = total;
  rowsWritten_ = 0;
  rowsSkipped_ = false;
  return Begun::kStarted;
}

bool TIFWriter::WriteRows(const float* rows, int32_t firstRow, int32_t count) {
  if (firstRow < 0 || count < 0 || firstRow > height_ - count) return false;
  const uint64_t rowFloats = static_cast<uint64_t>(width_) * 3;
  const uint64_t offset = pixelOffset_ + static_cast<uint64_t>(firstRow) * rowFloats * sizeof(float);
  if (!WriteFloats(&file_, rows, static_cast<size_t>(rowFloats * static_cast<uint64_t>(count)), offset))
    return false;
  rowsWritten_ += static_cast<uint64_t>(count);
  return true;
}

bool TIFWriter::SkipRows(int32_t firstRow, int32_t count) {
  if (firstRow < 0 || count < 0 || firstRow > height_ - count) return false;
  if (count == 0) return true;
  if (!file_.CanHaveHoles()) return false;
  rowsWritten_ += static_cast<uint64_t>(count);
  rowsSkipped_ = true;
  return true;
}

bool TIFWriter::Finish() {
  // Every row must have been written, or skipped as zeros: a row forgotten
  // would read as zeros too, and nobody would know.
  if (rowsWritten_ != static_cast<uint64_t>(height_) || (rowsSkipped_ && !file_.SetSize(fileSize_))) {
    file_.Abandon();
    return false;
  }
  return file_.Commit();
}

bool TIFWriter::Write() {
  if (Begin(true) != Begun::kStarted) return false;
  if (!WriteRows(pixels_, 0, height_)) {
    file_.Abandon();
    return false;
  }
  return Finish();
}
