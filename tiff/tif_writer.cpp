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

// The values of the file, each where the layout puts it: in its entry when
// it fits the value field, else appended to the bytes after the header.
struct Values {
  uint64_t bits, description, xResolution, yResolution, software, artist, sampleFormat, copyright;
};

Values PlaceValues(const Format& f, const TiffTexts& texts, std::vector<uint8_t>* out) {
  // A value that fits the field (4 bytes classic, 8 BigTIFF) sits in its
  // entry, as TIFF readers expect of it; the rest follow one another here.
  auto put = [&](const std::vector<uint8_t>& bytes) -> uint64_t {
    if (bytes.size() <= f.valueField()) return Packed(bytes);
    const uint64_t at = out->size();
    out->insert(out->end(), bytes.begin(), bytes.end());
    return at;
  };
  auto text = [&](const std::optional<std::string>& t) -> uint64_t {
    if (!t) return 0;
    std::vector<uint8_t> bytes(t->begin(), t->end());
    bytes.push_back(0);
    return put(bytes);
  };
  const std::vector<uint8_t> thirtyTwos = {32, 0, 32, 0, 32, 0}, threes = {3, 0, 3, 0, 3, 0};
  const std::vector<uint8_t> seventyTwo = {72, 0, 0, 0, 1, 0, 0, 0};  // 72 / 1
  Values v;
  v.bits = put(thirtyTwos);
  v.description = text(texts.description);
  v.xResolution = put(seventyTwo);
  v.yResolution = put(seventyTwo);
  v.software = text(texts.software);
  v.artist = text(texts.artist);
  v.sampleFormat = put(threes);
  v.copyright = text(texts.copyright);
  return v;
}

// Everything before the pixel data: header, out-of-line values, directory.
std::vector<uint8_t> BuildHeader(const Format& f, int32_t width, int32_t height, uint64_t pixelBytes,
                                 const TiffTexts& texts) {
  std::vector<uint8_t> out = {'I', 'I'};
  if (f.big) {
    Put16(&out, 43);
    Put16(&out, 8);  // bytes in an offset
    Put16(&out, 0);
  } else {
    Put16(&out, 42);
  }
  const size_t ifdField = out.size();  // the directory's offset, known below
  PutOffset(f, &out, 0);
  const Values v = PlaceValues(f, texts, &out);

  Entry entries[kMaxEntries];
  size_t n = 0;
  auto add = [&](uint16_t tag, uint16_t type, uint64_t count, uint64_t value) {
    entries[n++] = Entry{tag, type, count, value};
  };
  auto count = [](const std::optional<std::string>& t) { return static_cast<uint64_t>(t->size() + 1); };
  const uint16_t offsetType = f.big ? kLong8 : kLong;
  add(256, kLong, 1, static_cast<uint32_t>(width));
  add(257, kLong, 1, static_cast<uint32_t>(height));
  add(258, kShort, 3, v.bits);
  add(259, kShort, 1, 1);  // no compression
  add(262, kShort, 1, 2);  // RGB
  if (texts.description) add(270, kAscii, count(texts.description), v.description);
  const size_t stripOffsets = n;
  add(273, offsetType, 1, 0);  // known once the directory is complete
  add(277, kShort, 1, 3);      // samples per pixel
  add(278, kLong, 1, static_cast<uint32_t>(height));  // one strip
  add(279, offsetType, 1, pixelBytes);
  add(282, kRational, 1, v.xResolution);
  add(283, kRational, 1, v.yResolution);
  add(296, kShort, 1, 2);  // inch
  if (texts.software) add(305, kAscii, count(texts.software), v.software);
  if (texts.artist) add(315, kAscii, count(texts.artist), v.artist);
  add(339, kShort, 3, v.sampleFormat);
  if (texts.copyright) add(33432, kAscii, count(texts.copyright), v.copyright);

  const uint64_t ifd = out.size();
  entries[stripOffsets].value = ifd + f.countSize() + f.entrySize() * n + f.nextSize();
  for (size_t k = 0; k < f.nextSize(); ++k) out[ifdField + k] = static_cast<uint8_t>(ifd >> (8 * k));
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

}  // namespace

TiffLayout::TiffLayout(int32_t width, int32_t height, const TiffTexts& texts, bool forceBig) {
  if (width < 0 || height < 0) return;
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);  // < 2^62
  // The classic file unless it would pass the 4 GiB its 32-bit offsets
  // address; divide before multiplying, as pixels * 12 may pass 64 bits.
  const uint64_t classicHeader = BuildHeader(Format{false}, width, height, 0, texts).size();
  big_ = forceBig || pixels > (kClassicLimit - classicHeader) / kBytesPerPixel;
  const Format f{big_};
  const uint64_t header = big_ ? BuildHeader(f, width, height, 0, texts).size() : classicHeader;
  if (pixels > (UINT64_MAX - header) / kBytesPerPixel) return;
  header_ = BuildHeader(f, width, height, pixels * kBytesPerPixel, texts);
  rowBytes_ = static_cast<uint64_t>(width) * kBytesPerPixel;
  fileSize_ = header + pixels * kBytesPerPixel;
  valid_ = true;
}

Status WritePixels(OutputFile* file, const float* floats, size_t count, uint64_t offset) {
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
    const Status s = file->WriteAt(chunk, 4 * n, offset + 4 * done);
    if (!s.ok()) return s;
    done += n;
  }
  return Status{};
#else
  return file->WriteAt(floats, count * sizeof(float), offset);
#endif
}

TIFWriter::TIFWriter(const char* fileName, const float* pixels, int32_t width, int32_t height)
    : fileName_(fileName), pixels_(pixels), width_(width), height_(height) {}

void TIFWriter::Set(std::optional<std::string>* field, const char* text) {
  if (text)
    *field = text;
  else
    field->reset();
}

bool TIFWriter::Write() {
  const TiffLayout layout = Layout();
  if (!layout.Valid() || (!pixels_ && layout.FileSize() > layout.PixelOffset())) return false;
  // Replaced whole where that can be done; written in place (a device, a
  // folder that takes no new file) where only that can.
  OutputFile file;
  if (!file.Start(fileName_, layout.FileSize()).ok() || (file.InPlace() && !file.OpenInPlace().ok())) return false;
  const std::vector<uint8_t>& header = layout.Header();
  return file.WriteAt(header.data(), header.size(), 0).ok() &&
         WritePixels(&file, pixels_, (layout.FileSize() - layout.PixelOffset()) / sizeof(float), header.size()).ok() &&
         file.Commit().ok();
}
