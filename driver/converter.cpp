#include "driver/converter.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "driver/band_ring.h"
#include "driver/bands.h"
#include "driver/tiff_output.h"
#include "platform/platform.h"

namespace {

const char kSoftware[] = "Created by Quen Varlowby's Corvalin.";

const char kBanner[] =
    "Corvalin - Radiance HDR to floating-point TIFF converter\n"
    "https://corvalin.example.org/\n"
    "\n";

const char kHelp[] =
    "corvalin converts a Radiance RGBE picture (.hdr, flat or run-length encoded)\n"
    "into an uncompressed TIFF of 32-bit floating-point red, green and blue.\n"
    "\n"
    "Usage: corvalin picture\n"
    "       corvalin --help | -h | --version | -V\n"
    "\n"
    "A short extension (a dot and up to three bytes) is replaced: picture.pic reads picture.hdr.\n"
    "Other names get .hdr and .tif added; if that .hdr can't be opened, the file named is read.\n"
    "\n"
    "Manual: man corvalin where it is installed; else corvalin.1 beside the program\n"
    "(man ./corvalin.1), corvalin-manual.txt on Windows, doc/corvalin.1 in the source.\n";

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

template <typename T>
Block<T> Allocate(uint64_t count) {
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  return Block<T>(static_cast<T*>(std::malloc(static_cast<size_t>(count) * sizeof(T))));
}

// Bands in flight between decoding and writing: one being decoded, one
// being written, and one each way to spare for the moments when one step
// is briefly slower.
constexpr int kBands = 4;

const char kProcessed[] = "Image data processed. Creating TIFF...\n";

// Every message goes to standard output through these two.
void Print(const char* text) { platform::WriteOutput(text, std::strlen(text)); }

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Printf(const char* format, ...) {
  std::va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  char line[512];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof line) {
    platform::WriteOutput(line, static_cast<size_t>(n));
  } else if (n >= 0) {  // a long name
    std::string longer(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(longer.data(), longer.size(), format, again);
    platform::WriteOutput(longer.data(), static_cast<size_t>(n));
  }
  va_end(again);
  va_end(args);
}

// A run that ends with a failure before any TIFF: its message, status 1.
int Fail(Result result) {
  Print(Message(result));
  return 1;
}

// The input file, as the decoder reads it.
class FileSource : public ByteSource {
 public:
  explicit FileSource(platform::InputFile& file) : file_(file) {}
  int64_t Read(void* buffer, size_t size) override { return file_.Read(buffer, size); }

 private:
  platform::InputFile& file_;
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

TiffLayout ConverterLayout(int32_t width, int32_t height) {
  TiffTexts texts;
  texts.software = kSoftware;
  return TiffLayout(width, height, texts);
}

Result CheckImageSize(int32_t width, int32_t height, uint64_t* fileBytes) {
  if (width < 1 || height < 1) return Result::kInvalidSize;
  const TiffLayout layout = ConverterLayout(width, height);
  if (!layout.Valid()) return Result::kTooLarge;
  *fileBytes = layout.FileSize();
  return Result::kOk;
}

namespace {

// What is printed once the pixels are in, and the exit status: 0 only for a
// whole picture in a finished TIFF.
int Report(Result decoded, const Status& written) {
  if (decoded == Result::kCorrupt) return Fail(decoded);
  if (decoded == Result::kEndedEarly) Print(Message(decoded));
  Print(kProcessed);
  if (!written.ok()) return Fail(Result::kWriteFailed);
  Print("Finished!\n");
  return decoded == Result::kOk ? 0 : 1;
}

// Finishes a TIFF whose rows that held pixels were written: the others,
// which the input held no pixel of, are left a hole.
Status FinishWithRows(TiffOutput* tiff, int32_t height, const HeldPixels& held) {
  const int32_t end = held.firstRow + held.rows;
  Status s = tiff->SkipRows(0, held.firstRow);
  if (s.ok()) s = tiff->SkipRows(end, height - end);
  return s.ok() ? tiff->Finish() : s;
}

// Pictures stored by rows, into the TIFF begun beside the output (written
// says how that went; when it failed, the picture is still decoded, to
// report what it held): each band of rows goes to the file as soon as it
// is decoded, so the picture is never held whole. spare: a second thread
// would have a processor to itself.
int ConvertByBands(ScanlineDecoder& decoder, const HeaderInfo& header, const PixelConversion& how,
                   TiffOutput* tiff, Status written, bool spare) {
  const Resolution& r = header.resolution;
  const int32_t bandRows = BandRows(r.width, r.height);
  // A small picture is done on this thread, in one band: a second thread
  // and more memory cost more than they save there.
  const bool threaded = spare && !SmallPicture(r.width, r.height);
  Block<uint8_t> scratch = Allocate<uint8_t>(static_cast<uint64_t>(bandRows) * r.width * 4);
  BandRing ring(r.width, bandRows, threaded ? kBands : 1, how);
  if (!scratch || !ring.Allocated()) return Fail(Result::kNoMemory);
  Print("Reading/processing image data...\n");
  ScanlineBands bands(decoder, r);
  if (written.ok()) written = ring.Run(&bands, tiff, threaded);
  // What was not written (there is no file, or it failed) is still decoded,
  // to tell a short file from a corrupt one.
  bands.Drain(scratch.get());
  const Result result = bands.result();
  // Rows the input held no pixel of are never written: they are left a
  // hole in the file, at its end or, for a picture stored bottom-up, its start.
  if (written.ok() && result == Result::kCorrupt) written = Status{Result::kWriteFailed};
  if (written.ok()) written = FinishWithRows(tiff, r.height, PixelsHeld(r, bands.filled()));
  return Report(result, written);
}

// Room for a whole picture's RGBE pixels (see platform::LargeBlock), fresh
// from the system and so all zeros.
//
// The kernel must clear every page before it is first used. Prefault() has
// a second thread do that ahead of the decoder, which would otherwise wait
// for it page by page; the decoder never waits for that thread, and writing
// a page the thread has not reached is harmless.
class PictureMemory {
 public:
  explicit PictureMemory(uint64_t bytes) : block_(bytes), bytes_(static_cast<size_t>(bytes)) {}
  ~PictureMemory() { StopPrefault(); }
  PictureMemory(const PictureMemory&) = delete;
  PictureMemory& operator=(const PictureMemory&) = delete;
  uint8_t* data() const { return block_.data(); }

  void Prefault() {
    if (!data()) return;
    try {
      prefault_ = platform::StartThread([this] {
        constexpr size_t kStep = platform::kLargePage;
        for (size_t at = 0; at < bytes_ && !stop_.load(std::memory_order_relaxed); at += kStep) {
          // Where the system cannot, the decoder faults the pages in alone.
          if (!platform::PrepareMemory(data() + at, std::min(kStep, bytes_ - at))) return;
        }
      });
    } catch (const std::system_error&) {
      // No second thread: the decoder faults the pages in itself.
    }
  }

  void StopPrefault() {
    stop_ = true;
    if (prefault_.joinable()) prefault_.join();
  }

 private:
  platform::LargeBlock block_;
  size_t bytes_;
  std::thread prefault_;
  std::atomic<bool> stop_{false};
};

// Pictures held whole as they are stored: X-major ones, whose every row
// needs the last scanline, and any written in place, where the file is
// opened only once the picture is known to be sound, as it always was
// (written and spare as for ConvertByBands).
int ConvertWhole(ScanlineDecoder& decoder, const HeaderInfo& header, const PixelConversion& how,
                 TiffOutput* tiff, Status written, bool spare) {
  const Resolution& r = header.resolution;
  PictureMemory picture(static_cast<uint64_t>(r.width) * r.height * 4);
  BandRing ring(r.width, WholeBandRows(r), kBands, how);
  if (!picture.data() || !ring.Allocated()) return Fail(Result::kNoMemory);
  Print("Reading/processing image data...\n");
  if (spare) picture.Prefault();
  int32_t filled = 0;
  const Result result =
      decoder.DecodeScanlines(picture.data(), r.ScanlineLength(), r.ScanlineCount(), /*zeroed=*/true, &filled);
  picture.StopPrefault();
  if (result == Result::kCorrupt) written = Status{Result::kWriteFailed};
  if (written.ok() && tiff->InPlace()) written = tiff->OpenInPlace();
  if (written.ok()) {
    // Rows and columns the input held no pixel of are neither converted
    // nor written where the file can have holes (not in a FIFO or a device).
    const HeldPixels held = tiff->CanSkipRows() ? PixelsHeld(r, filled) : HeldPixels{0, r.height, 0, r.width};
    PictureBands bands(picture.data(), r, held);
    written = ring.Run(&bands, tiff, spare);
    if (written.ok()) written = FinishWithRows(tiff, r.height, held);
  }
  return Report(result, written);
}

int ConvertPixels(InputStream& in, const HeaderInfo& header, const std::string& output) {
  const Resolution& r = header.resolution;
  // Where the TIFF goes is decided here, once.
  TiffOutput tiff(ConverterLayout(r.width, r.height), r.height);
  const Status started = tiff.Start(output);
  if (started.result == Result::kNoSpace) return Fail(Result::kNoSpace);
  ScanlineDecoder decoder(in);
  if (!decoder.Ok()) return Fail(Result::kNoMemory);
  PixelConversion how;
  how.xyz = header.xyz;
  how.cpu.avx2 = platform::HasAVX2();
  // A second thread only where a processor has no conversion on it: with
  // every one taken (a batch running a conversion a processor), it would
  // only take turns with the first, and its bands cost processor time
  // (fresh memory, handing over) that the batch lacks.
  const platform::Conversion here;
  const bool spare = here.ProcessorToSpare();
  if (!r.xMajor && !tiff.InPlace()) return ConvertByBands(decoder, header, how, &tiff, started, spare);
  return ConvertWhole(decoder, header, how, &tiff, started, spare);
}

// The input to read: the name derived from the argument or, when that
// cannot be opened, the argument itself if it names a regular file (a
// picture named .pic, .HDR, .rgbe). Not open, with *name the derived one,
// when neither can be opened. A folder is never opened.
platform::InputFile OpenInput(const std::string& argument, const std::string& derived,
                              std::string* name) {
  *name = derived;
  platform::InputFile file;
  if (file.Open(derived).ok()) return file;
  if (argument == derived || platform::KindOf(argument) != platform::PathKind::kRegular) return file;
  if (file.Open(argument).ok()) *name = argument;
  return file;
}

}  // namespace

int RunConverter(const std::vector<std::string>& args) {
  // First, so that an interruption at any moment ends the program as it
  // would without the handler, and removes whatever file is unfinished.
  platform::CleanUpOnInterrupt();
  // These four exact arguments, and only these, are not picture names
  // ("./--help" converts --help.hdr).
  if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
    Print(kHelp);
    return 0;
  }
  if (args.size() == 2 && (args[1] == "--version" || args[1] == "-V")) {
    Print("corvalin " CORVALIN_VERSION "\n");
    return 0;
  }
  Print(kBanner);
  if (args.size() != 2) return Fail(Result::kUsage);
  const FileNames names = NamesFromArgument(args[1]);
  std::string inputName;
  platform::InputFile file = OpenInput(args[1], names.input, &inputName);
  Printf("Converting \"%s\" to \"%s\" ...\n", inputName.c_str(), names.output.c_str());
  if (!file.IsOpen()) {
    Printf(Message(Result::kCannotOpen), inputName.c_str());
    return 1;
  }
  FileSource source(file);
  InputStream in(source);
  if (!in.Ok()) return Fail(Result::kNoMemory);

  const HeaderInfo header = ReadHeader(in);
  if (!header.identified) Print("Warning: RADIANCE header not found in HDR file.\n");
  if (!header.resolutionValid) return Fail(Result::kNoResolution);
  const Resolution& r = header.resolution;
  Printf("X-Resolution: %d\nY-Resolution: %d\n", r.width, r.height);

  uint64_t fileBytes = 0;
  const Result size = CheckImageSize(r.width, r.height, &fileBytes);
  if (size != Result::kOk) return Fail(size);
  return ConvertPixels(in, header, names.output);
}
