#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "radiance/radiance.h"

namespace {

// Reads a line the way "%cY %d %cX %d" is scanned: %c takes any character,
// a letter must match exactly, a space skips any white space, %d skips white
// space and takes an optional sign and at least one digit. A number that
// does not fit 32 bits fails, where scanf's result would be undefined.
class Scanner {
 public:
  explicit Scanner(const char* p) : p_(p) {}

  bool AnyChar(char* c) {
    if (*p_ == '\0') return false;
    *c = *p_++;
    return true;
  }
  bool Letter(char c) {
    if (*p_ != c) return false;
    ++p_;
    return true;
  }
  bool Space() {
    while (std::isspace(static_cast<unsigned char>(*p_))) ++p_;
    return true;
  }
  bool Int(int32_t* value) {
    Space();
    bool negative = *p_ == '-';
    if (*p_ == '-' || *p_ == '+') ++p_;
    if (!std::isdigit(static_cast<unsigned char>(*p_))) return false;
    const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
    int64_t n = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p_)); ++p_) {
      n = n * 10 + (*p_ - '0');
      if (n > limit) return false;
    }
    *value = static_cast<int32_t>(negative ? -n : n);
    return true;
  }

 private:
  const char* p_;
};

// "%c<first> %d %c<second> %d"; true when both numbers were read.
bool ScanForm(const char* line, char first, char second, char* sign1,
              int32_t* n1, char* sign2, int32_t* n2) {
  Scanner s(line);
  return s.AnyChar(sign1) && s.Letter(first) && s.Space() && s.Int(n1) &&
         s.Space() && s.AnyChar(sign2) && s.Letter(second) && s.Space() &&
         s.Int(n2);
}

// Only the start of a header line matters: whether it is the identifying
// line or the empty line, so no more than this is kept of any of them.
constexpr size_t kKeepOfHeaderLine = 16;
const std::string kIdentifyingLine = "#?RADIANCE\n";
// The resolution line is scanned from its start, and a real one is a few
// dozen characters; keeping no more than this of it bounds the memory a
// broken file can ask for. (A match would need 64 KiB of blanks or zeros.)
constexpr size_t kKeepOfResolutionLine = 64 * 1024;

bool IsEmptyLine(const std::string& line, size_t length) {
  return length == 1 && line[0] == '\n';
}

// Judges a header line as its bytes arrive: whether it starts with
// "FORMAT=" and whether its value, white space around it trimmed, is the
// XYZ format. Nothing of the line is kept, so a line of any length is
// judged whole.
class FormatLine {
 public:
  void Take(const uint8_t* bytes, size_t n) {
    for (size_t k = 0; k < n && state_ != kOtherLine && state_ != kOtherValue; ++k) Step(bytes[k]);
  }
  bool IsFormat() const { return state_ != kPrefix && state_ != kOtherLine; }
  bool IsXYZ() const { return (state_ == kValue && matched_ == kXYZ.size()) || state_ == kTrailing; }

 private:
  enum State { kPrefix, kLeading, kValue, kTrailing, kOtherValue, kOtherLine };
  static constexpr std::string_view kPrefixText = "FORMAT=";
  static constexpr std::string_view kXYZ = "32-bit_rle_xyze";

  // The C locale's white space, the line feed and a CR before it included.
  static bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

  void Step(uint8_t c) {
    switch (state_) {
      case kPrefix:
        if (c != static_cast<uint8_t>(kPrefixText[matched_])) state_ = kOtherLine;
        else if (++matched_ == kPrefixText.size()) state_ = kLeading, matched_ = 0;
        break;
      case kLeading:
        if (IsSpace(c)) break;
        state_ = kValue;
        [[fallthrough]];
      case kValue:
        if (matched_ < kXYZ.size() && c == static_cast<uint8_t>(kXYZ[matched_])) ++matched_;
        else state_ = matched_ == kXYZ.size() && IsSpace(c) ? kTrailing : kOtherValue;
        break;
      case kTrailing:
        if (!IsSpace(c)) state_ = kOtherValue;
        break;
      case kOtherValue:
      case kOtherLine:
        break;
    }
  }

  State state_ = kPrefix;
  size_t matched_ = 0;
};

// A header with no empty line within this many bytes (its resolution line
// included) is not a Radiance header, but an endless or foreign input: real
// headers are a few hundred bytes.
constexpr size_t kMaxHeaderBytes = 16 << 20;

// Keeps the first keep bytes of a line that arrives in pieces.
void KeepStart(std::string* line, const uint8_t* bytes, size_t n, size_t keep) {
  if (line->size() < keep) line->append(reinterpret_cast<const char*>(bytes), std::min(n, keep - line->size()));
}

// Reads one header line, at most limit bytes of it, keeping its start in
// *line and noting in *xyz what a FORMAT line says. Returns the length read.
size_t ReadHeaderLine(InputStream& in, std::string* line, bool* xyz, size_t limit) {
  line->clear();
  FormatLine format;
  const size_t length = in.ReadLine([&](const uint8_t* bytes, size_t n) {
    KeepStart(line, bytes, n, kKeepOfHeaderLine);
    format.Take(bytes, n);
  }, limit);
  if (length > 0 && format.IsFormat()) *xyz = format.IsXYZ();
  return length;
}

}  // namespace

bool ParseResolution(const char* line, Resolution* out) {
  char signY = 0, signX = 0;
  int32_t nY = 0, nX = 0;
  Resolution r;
  if (ScanForm(line, 'Y', 'X', &signY, &nY, &signX, &nX)) {
    r.xMajor = false;
    r.reverseScanlines = signY == '+';
    r.reversePixels = signX == '-';
  } else if (ScanForm(line, 'X', 'Y', &signX, &nX, &signY, &nY)) {
    r.xMajor = true;
    r.reverseScanlines = signX == '-';
    r.reversePixels = signY == '+';
  } else {
    return false;
  }
  r.width = nX;
  r.height = nY;
  *out = r;
  return true;
}

HeaderInfo ReadHeader(InputStream& in) {
  HeaderInfo info;
  std::string line;
  size_t budget = kMaxHeaderBytes;
  size_t length = ReadHeaderLine(in, &line, &info.xyz, budget);
  budget -= length;
  info.identified = length == kIdentifyingLine.size() && line == kIdentifyingLine;

  // The first line takes part in the end-of-header test. Lines ending in
  // CR LF never equal "\n", so such a header reads on until a bare line feed
  // or the end of the input; a read error ends it as the end does.
  bool empty = IsEmptyLine(line, length);
  while (!empty && !in.AtEnd()) {
    if (budget == 0) return info;
    length = ReadHeaderLine(in, &line, &info.xyz, budget);
    budget -= length;
    empty = length > 0 && IsEmptyLine(line, length);
  }

  // A resolution line that reaches the bound has not ended within it.
  line.clear();
  const size_t resolution =
      in.ReadLine([&](const uint8_t* bytes, size_t n) { KeepStart(&line, bytes, n, kKeepOfResolutionLine); }, budget);
  if (resolution == 0 || resolution == budget) return info;
  info.resolutionValid = ParseResolution(line.c_str(), &info.resolution);
  return info;
}
