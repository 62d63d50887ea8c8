#include "support.h"

#ifdef CORVALIN_HAVE_LIBTIFF
#include <tiffio.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

const char kBanner[] =
    "Corvalin - Radiance HDR to floating-point TIFF converter\n"
    "https://corvalin.example.org/\n"
    "\n";

Bytes GradientPicture(int width, int height, uint32_t seed) {
  Bytes out(static_cast<size_t>(width) * height * 4);
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &out[(static_cast<size_t>(y) * width + x) * 4];
      state = state * 1664525u + 1013904223u;
      // Sky: a gradient in blocks of 4 pixels, so runs appear; ground: noise.
      const bool ground = y * 3 >= height * 2;
      p[0] = static_cast<uint8_t>(ground ? (state >> 24) : 40 + (x / 4) % 200);
      p[1] = static_cast<uint8_t>(ground ? (state >> 16) : 80 + y % 150);
      p[2] = static_cast<uint8_t>(ground ? (state >> 8) : 200);
      p[3] = static_cast<uint8_t>(ground ? 126 + (state >> 30) : 128);
      if ((x * 7 + y * 13 + static_cast<int>(seed)) % 97 == 0) p[3] = 140;  // bright
    }
  }
  return out;
}

std::vector<Bytes> Rows(const Bytes& picture, int width) {
  std::vector<Bytes> rows;
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  for (size_t at = 0; at < picture.size(); at += rowBytes)
    rows.emplace_back(picture.begin() + at, picture.begin() + at + rowBytes);
  return rows;
}

Bytes GradientHdr(int width, int height, Encoding encoding, uint32_t seed) {
  return MakeHdr(ResolutionLine(width, height), Rows(GradientPicture(width, height, seed), width), encoding);
}

float ReferenceFloat(uint8_t mantissa, uint8_t exponent) {
  if (exponent == 0) return 0.0f;
  return static_cast<float>((mantissa + 0.5) * std::ldexp(1.0, exponent - 136));
}

namespace fs = std::filesystem;

namespace {

fs::path Path(const std::string& utf8) { return fs::u8path(utf8); }

}  // namespace

TempDir::TempDir() {
  const fs::path base = fs::temp_directory_path();
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = base / ("corvalin-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(dir, error)) {
      path_ = dir.u8string();
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code error;
  fs::remove_all(Path(path_), error);  // links are removed, never followed
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(Path(path), std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot create " + path);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool ReadFile(const std::string& path, Bytes* bytes) {
  std::ifstream f(Path(path), std::ios::binary);
  if (!f) return false;
  bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(Path(path), error).type() != fs::file_type::not_found && !error;
}

void MakeFolder(const std::string& path) {
  if (!fs::create_directory(Path(path))) throw std::runtime_error("cannot make " + path);
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& e : fs::directory_iterator(Path(folder), error))
    names.push_back(e.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}

RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      const RunOptions& options) {
  return Child(dir, args, options).Wait();
}

RunResult RunCorvalin(const std::string& dir, const std::vector<std::string>& args,
                      uint64_t addressSpaceLimit) {
  RunOptions options;
  options.addressSpaceLimit = addressSpaceLimit;
  return RunCorvalin(dir, args, options);
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ResolutionLine(int w, int h) {
  return "-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
}

std::string Sizes(int w, int h) {
  return "X-Resolution: " + std::to_string(w) + "\nY-Resolution: " + std::to_string(h) + "\n";
}

Bytes Contents(const std::string& path) {
  Bytes b;
  if (!ReadFile(path, &b)) b = {'?'};
  return b;
}

std::string Announcement(const std::string& input, const std::string& output) {
  return std::string(kBanner) + "Converting \"" + input + "\" to \"" + output + "\" ...\n";
}

#ifdef CORVALIN_HAVE_LIBTIFF
bool ReadTiff(const std::string& path, TiffImage* image, std::string* error) {
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) {
    *error = "libtiff cannot open " + path;
    return false;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image->width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image->height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image->bitsPerSample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image->samplesPerPixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &image->sampleFormat);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image->photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image->compression);
  for (const auto& [tag, text] : {std::pair<ttag_t, std::string*>{TIFFTAG_IMAGEDESCRIPTION, &image->description},
                                  {TIFFTAG_SOFTWARE, &image->software}, {TIFFTAG_ARTIST, &image->artist},
                                  {TIFFTAG_COPYRIGHT, &image->copyright}}) {
    const char* value = nullptr;
    if (TIFFGetField(tif, tag, &value) == 1 && value) *text = value;
  }
  const tmsize_t lineBytes = TIFFScanlineSize(tif);
  image->pixels.assign(static_cast<size_t>(image->width) * image->height * 3, 0.0f);
  bool ok = lineBytes == static_cast<tmsize_t>(image->width) * 12;
  for (uint32_t row = 0; ok && row < image->height; ++row)
    ok = TIFFReadScanline(tif, &image->pixels[static_cast<size_t>(row) * image->width * 3], row) == 1;
  TIFFClose(tif);
  if (!ok) *error = "libtiff cannot read the pixels of " + path;
  return ok;
}
#else
bool ReadTiff(const std::string& path, TiffImage* image, std::string* error) {
  Bytes file;
  if (!ReadFile(path, &file) || file.size() < 16 || file[0] != 'I' || file[1] != 'I' ||
      (Get16(file, 2) != 42 && Get16(file, 2) != 43)) {
    *error = "not a little-endian TIFF: " + path;
    return false;
  }
  // Classic: 12-byte entries with a 4-byte value field; BigTIFF: 20-byte
  // entries with an 8-byte one. Values that fit the field lie in it.
  const bool big = Get16(file, 2) == 43;
  auto number = [&](size_t at) {
    return big ? Get32(file, at) | uint64_t{Get32(file, at + 4)} << 32 : uint64_t{Get32(file, at)};
  };
  const size_t field = big ? 8 : 4;
  try {
    const uint64_t ifd = number(big ? 8 : 4);
    const uint64_t n = big ? number(ifd) : Get16(file, ifd);
    uint64_t offset = 0, bytes = 0, planar = 1;
    image->bitsPerSample = 1;  // the defaults of baseline TIFF
    image->samplesPerPixel = 1;
    image->sampleFormat = 1;
    image->compression = 1;
    for (uint64_t k = 0; k < n; ++k) {
      const size_t at = ifd + (big ? 8 : 2) + (big ? 20 : 12) * k;
      const uint32_t tag = Get16(file, at), type = Get16(file, at + 2);
      const uint64_t count = number(at + 4);
      const size_t valueAt = at + 4 + field;
      // A SHORT lies in the field's first two bytes; three of them there too
      // when they fit, or at the offset the field holds (every one must agree).
      uint64_t value = type == 3 ? Get16(file, valueAt) : number(valueAt);
      if (type == 3 && count == 3) {
        const size_t values = 6 <= field ? valueAt : number(valueAt);
        value = Get16(file, values);
        if (Get16(file, values + 2) != value || Get16(file, values + 4) != value) value = 0;
      }
      // A text lies in the field when it fits, with its zero.
      if (type == 2 && count > 0) {
        const size_t at = count <= field ? valueAt : number(valueAt);
        file.at(at + count - 1);  // the whole text lies in the file
        std::string text(reinterpret_cast<const char*>(&file[at]), count);
        text.resize(std::strlen(text.c_str()));
        if (tag == 270) image->description = text;
        if (tag == 305) image->software = text;
        if (tag == 315) image->artist = text;
        if (tag == 33432) image->copyright = text;
      }
      switch (tag) {
        case 256: image->width = static_cast<uint32_t>(value); break;
        case 257: image->height = static_cast<uint32_t>(value); break;
        case 258: image->bitsPerSample = static_cast<uint16_t>(value); break;
        case 259: image->compression = static_cast<uint16_t>(value); break;
        case 262: image->photometric = static_cast<uint16_t>(value); break;
        case 273: offset = value; break;
        case 277: image->samplesPerPixel = static_cast<uint16_t>(value); break;
        case 279: bytes = value; break;
        case 284: planar = value; break;
        case 339: image->sampleFormat = static_cast<uint16_t>(value); break;
      }
    }
    const uint64_t want = uint64_t{image->width} * image->height * 12;
    if (image->bitsPerSample != 32 || image->samplesPerPixel != 3 || planar != 1 ||
        image->compression != 1 || bytes != want || offset + want > file.size()) {
      *error = "not an uncompressed single-strip 3 x 32-bit TIFF: " + path;
      return false;
    }
    image->pixels.resize(static_cast<size_t>(want / 4));
    for (size_t k = 0; k < image->pixels.size(); ++k) {
      const uint32_t bits = Get32(file, offset + 4 * k);
      std::memcpy(&image->pixels[k], &bits, 4);
    }
  } catch (const std::out_of_range&) {
    *error = "a directory entry points past the end of " + path;
    return false;
  }
  return true;
}
#endif

uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }
