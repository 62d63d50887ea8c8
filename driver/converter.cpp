#include "driver/converter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "tiff/tif_writer.h"

namespace {

const char kSoftware[] = "Created by Quen Varlowby's Corvalin.";

const char kBanner[] =
    "Corvalin - Radiance HDR to floating-point TIFF converter\n"
    "https://corvalin.example.org/\n"
    "\n";

const char kUsage[] =
    "Please enter the name of an HDR file on the command line.\n"
    "Ex: CORVALIN image.hdr\n"
    "\n"
    "Note: This only converts HDR images not containing RLE tags.\n";

// Huge pages are 2 MiB on the machines this runs on; blocks smaller than one
// gain nothing from them.
constexpr size_t kHugePage = 2 * 1024 * 1024;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

FileNames NamesFromArgument(const std::string& argument) {
  std::string base = argument;
  const size_t dot = argument.rfind('.');
  if (dot != std::string::npos &&
      argument.find_first_of("/\\", dot) == std::string::npos &&
      argument.size() - dot - 1 <= 3)
    base.resize(dot);
  return FileNames{base + ".hdr", base + ".tif"};
}

SizeCheck CheckImageSize(int32_t width, int32_t height, uint64_t headerBytes) {
  if (width < 1 || height < 1) return SizeCheck::kInvalid;
  // Classic TIFF offsets and byte counts are 32 bits. Divide before
  // multiplying so that no product can overflow.
  const uint64_t maxFile = 0xffffffffu;
  if (headerBytes > maxFile) return SizeCheck::kTooLarge;
  const uint64_t maxPixels = (maxFile - headerBytes) / 12;
  if (static_cast<uint64_t>(width) > maxPixels / static_cast<uint64_t>(height))
    return SizeCheck::kTooLarge;
  return SizeCheck::kOk;
}

uint64_t ConverterTiffHeaderBytes() {
  TIFWriter writer("", nullptr, 0, 0);
  writer.SetSoftware(kSoftware);
  return writer.PixelDataOffset();
}

FloatImage::FloatImage(uint64_t floats) {
  if (floats == 0 || floats > SIZE_MAX / sizeof(float) - kHugePage) return;
  const size_t bytes = static_cast<size_t>(floats) * sizeof(float);
  mappingSize_ = bytes + kHugePage;
  void* p = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  mapping_ = p;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  data_ = reinterpret_cast<float*>(aligned);
#ifdef MADV_HUGEPAGE
  if (bytes >= kHugePage) madvise(data_, bytes, MADV_HUGEPAGE);
#endif
}

void FloatImage::Release(const float* pixels, size_t count) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(pixels) + page - 1) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(pixels + count) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

FloatImage::~FloatImage() {
  if (mapping_) munmap(mapping_, mappingSize_);
}

DecodeResult DecodePicture(InputStream& in, const Resolution& r, float* image,
                           uint8_t* scanline) {
  const int32_t length = r.ScanlineLength();
  const int32_t count = r.ScanlineCount();
  const ptrdiff_t rowFloats = static_cast<ptrdiff_t>(r.width) * 3;
  // Where pixel i of scanline k goes: first + k * across + i * along
  // floats into the image, with the steps signed for reversed axes.
  ptrdiff_t along = r.xMajor ? rowFloats : 3;   // between pixels of a scanline
  ptrdiff_t across = r.xMajor ? 3 : rowFloats;  // between scanlines
  ptrdiff_t first = 0;
  if (r.reversePixels) {
    first += (length - 1) * along;
    along = -along;
  }
  if (r.reverseScanlines) {
    first += (count - 1) * across;
    across = -across;
  }

  bool endedEarly = false;
  const size_t scanlineBytes = static_cast<size_t>(length) * 4;
  for (int32_t k = 0; k < count; ++k) {
    // A row the file does not hold whole must not show the row before it.
    std::memset(scanline, 0, scanlineBytes);
    if (ReadScanline(scanline, length, in) != 0) {
      if (!in.Eof()) return DecodeResult::kFatal;
      endedEarly = true;
    }
    float* out = image + first + k * across;
    if (along == 3) {
      RGBEToFloatRow(out, scanline, length);
    } else {
      for (int32_t i = 0; i < length; ++i, out += along)
        RGBEToFloat(out, scanline + 4 * static_cast<size_t>(i));
    }
  }
  return endedEarly ? DecodeResult::kEndedEarly : DecodeResult::kComplete;
}

namespace {

// From the open input at the first byte of pixel data to the written TIFF.
int ConvertPixels(InputStream& in, const Resolution& r, const std::string& output) {
  const uint64_t floats = static_cast<uint64_t>(r.width) * r.height * 3;
  FloatImage image(floats);
  std::unique_ptr<uint8_t, FreeDeleter> scanline(static_cast<uint8_t*>(
      std::malloc(static_cast<size_t>(r.ScanlineLength()) * 4)));
  if (!image.data() || !scanline) {
    std::printf("Couldn't allocate memory for image buffer.\n");
    return 1;
  }

  std::printf("Reading/processing image data...\n");
  switch (DecodePicture(in, r, image.data(), scanline.get())) {
    case DecodeResult::kFatal:
      std::printf("Fatal error while reading HDR file.\n");
      return 1;
    case DecodeResult::kEndedEarly:
      std::printf("Warning: HDR file ended early; missing pixels set to black.\n");
      break;
    case DecodeResult::kComplete:
      break;
  }
  std::printf("Image data processed. Creating TIFF...\n");

  TIFWriter writer(output.c_str(), image.data(), r.width, r.height);
  writer.SetSoftware(kSoftware);
  // Each piece written is freed at once: the file's pages in the page cache
  // then reuse that memory, which is markedly cheaper than fresh pages.
  writer.SetPixelsWrittenHook(
      [&image](const float* pixels, size_t count) { image.Release(pixels, count); });
  if (!writer.Write()) {
    std::printf("Error generating floating-point TIFF image.\n");
    return 1;
  }
  std::printf("Finished!\n");
  return 0;
}

}  // namespace

int RunConverter(int argc, char** argv) {
  std::fputs(kBanner, stdout);
  if (argc != 2) {
    std::fputs(kUsage, stdout);
    return 1;
  }
  const FileNames names = NamesFromArgument(argv[1]);
  std::printf("Converting \"%s\" to \"%s\" ...\n", names.input.c_str(),
              names.output.c_str());

  const int fd = open(names.input.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::printf("\nError opening HDR file: \"%s\"\n", names.input.c_str());
    return 1;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // read once, front to back
  InputStream in(fd);
  if (!in.Ok()) {
    std::printf("Couldn't allocate memory for image buffer.\n");
    return 1;
  }

  const HeaderInfo header = ReadHeader(in);
  if (!header.identified)
    std::printf("Warning: RADIANCE header not found in HDR file.\n");
  if (!header.resolutionValid) {
    std::printf("Invalid resolution line in HDR file.\n");
    return 1;
  }
  const Resolution& r = header.resolution;
  std::printf("X-Resolution: %d\nY-Resolution: %d\n", r.width, r.height);

  switch (CheckImageSize(r.width, r.height, ConverterTiffHeaderBytes())) {
    case SizeCheck::kInvalid:
      std::printf("Invalid image size in HDR file.\n");
      return 1;
    case SizeCheck::kTooLarge:
      std::printf("Image too large for a TIFF file.\n");
      return 1;
    case SizeCheck::kOk:
      break;
  }
  return ConvertPixels(in, r, names.output);
}
