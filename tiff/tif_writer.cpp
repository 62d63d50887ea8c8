#include "tiff/tif_writer.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kEntrySize = 12;
// The entry count before the entries, the next-directory offset after them.
constexpr size_t kIfdOverhead = 2 + 4;
constexpr size_t kMaxEntries = 17;
constexpr uint64_t kMaxFileSize = 0xffffffffu;  // 32-bit offsets
constexpr uint64_t kBytesPerPixel = 12;         // three floats

enum FieldType : uint16_t { kAscii = 2, kShort = 3, kLong = 4, kRational = 5 };

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  uint32_t value;  // a SHORT sits in the low two bytes
};

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out->push_back(static_cast<uint8_t>(v >> shift));
}

void Patch32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) (*out)[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// Appends a text with its terminating zero; returns its offset.
uint32_t PutText(std::vector<uint8_t>* out, const std::string& text) {
  const uint32_t at = static_cast<uint32_t>(out->size());
  out->insert(out->end(), text.begin(), text.end());
  out->push_back(0);
  return at;
}

uint32_t TextCount(const std::string& text) {
  return static_cast<uint32_t>(text.size() + 1);
}

// Everything before the pixel data: header, out-of-line values, directory.
std::vector<uint8_t> BuildHeader(int32_t width, int32_t height,
                                 uint32_t pixelBytes,
                                 const std::optional<std::string>& description,
                                 const std::optional<std::string>& software,
                                 const std::optional<std::string>& artist,
                                 const std::optional<std::string>& copyright) {
  std::vector<uint8_t> out = {'I', 'I', 42, 0, 0, 0, 0, 0};

  const uint32_t bits = static_cast<uint32_t>(out.size());
  for (int k = 0; k < 3; ++k) Put16(&out, 32);
  const uint32_t descriptionAt = description ? PutText(&out, *description) : 0;
  const uint32_t xResolution = static_cast<uint32_t>(out.size());
  Put32(&out, 72);
  Put32(&out, 1);
  const uint32_t yResolution = static_cast<uint32_t>(out.size());
  Put32(&out, 72);
  Put32(&out, 1);
  const uint32_t softwareAt = software ? PutText(&out, *software) : 0;
  const uint32_t artistAt = artist ? PutText(&out, *artist) : 0;
  const uint32_t sampleFormat = static_cast<uint32_t>(out.size());
  for (int k = 0; k < 3; ++k) Put16(&out, 3);
  const uint32_t copyrightAt = copyright ? PutText(&out, *copyright) : 0;

  Entry entries[kMaxEntries];
  size_t n = 0;
  auto add = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    entries[n++] = Entry{tag, type, count, value};
  };
  const uint32_t ifd = static_cast<uint32_t>(out.size());

  add(256, kLong, 1, static_cast<uint32_t>(width));
  add(257, kLong, 1, static_cast<uint32_t>(height));
  add(258, kShort, 3, bits);
  add(259, kShort, 1, 1);  // no compression
  add(262, kShort, 1, 2);  // RGB
  if (description) add(270, kAscii, TextCount(*description), descriptionAt);
  const size_t stripOffsets = n;
  add(273, kLong, 1, 0xffffffffu);  // known once the directory is complete
  add(277, kShort, 1, 3);  // samples per pixel
  add(278, kLong, 1, static_cast<uint32_t>(height));  // one strip
  add(279, kLong, 1, pixelBytes);
  add(282, kRational, 1, xResolution);
  add(283, kRational, 1, yResolution);
  add(296, kShort, 1, 2);  // inch
  if (software) add(305, kAscii, TextCount(*software), softwareAt);
  if (artist) add(315, kAscii, TextCount(*artist), artistAt);
  add(339, kShort, 3, sampleFormat);
  if (copyright) add(33432, kAscii, TextCount(*copyright), copyrightAt);

  entries[stripOffsets].value =
      static_cast<uint32_t>(ifd + kIfdOverhead + kEntrySize * n);
  Patch32(&out, 4, ifd);
  Put16(&out, static_cast<uint16_t>(n));
  for (size_t k = 0; k < n; ++k) {
    Put16(&out, entries[k].tag);
    Put16(&out, entries[k].type);
    Put32(&out, entries[k].count);
    Put32(&out, entries[k].value);
  }
  Put32(&out, 0);  // no further directory
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

std::vector<uint8_t> TIFWriter::Header(uint32_t pixelBytes) const {
  return BuildHeader(width_, height_, pixelBytes, description_, software_,
                     artist_, copyright_);
}

uint64_t TIFWriter::PixelDataOffset() const { return Header(0).size(); }

TIFWriter::Begun TIFWriter::Begin(bool allowInPlace) {
  if (width_ < 0 || height_ < 0) return Begun::kFailed;
  const uint64_t headerSize = PixelDataOffset();
  // Divide before multiplying: width * height fits 64 bits, times 12 not.
  const uint64_t pixels = static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_);
  if (headerSize > kMaxFileSize || pixels > (kMaxFileSize - headerSize) / kBytesPerPixel)
    return Begun::kFailed;
  const std::vector<uint8_t> header = Header(static_cast<uint32_t>(pixels * kBytesPerPixel));

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
  rowsWritten_ = 0;
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

bool TIFWriter::Finish() {
  // A row never written would read as zeros from a hole in the file.
  if (rowsWritten_ != static_cast<uint64_t>(height_)) {
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
