#include "tools/hdr_encode.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// One component of a run-length scanline: runs of 3 or more equal bytes,
// literals of up to 128 bytes between them.
void EncodeComponent(const Bytes& rgbe, int c, Bytes* out) {
  const size_t n = rgbe.size() / 4;
  auto at = [&](size_t i) { return rgbe[4 * i + c]; };
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 127 && at(i + run) == at(i)) ++run;
    if (run >= 3) {
      out->push_back(static_cast<uint8_t>(128 + run));
      out->push_back(at(i));
      i += run;
      continue;
    }
    // A literal up to the next run of three (or 128 bytes).
    size_t end = i;
    while (end < n && end - i < 128) {
      if (end + 2 < n && at(end) == at(end + 1) && at(end) == at(end + 2)) break;
      ++end;
    }
    if (end == i) end = i + 1;
    out->push_back(static_cast<uint8_t>(end - i));
    for (size_t k = i; k < end; ++k) out->push_back(at(k));
    i = end;
  }
}

}  // namespace

Bytes EncodeScanline(const Bytes& rgbe, Encoding encoding) {
  const size_t width = rgbe.size() / 4;
  if (encoding == Encoding::kFlat) return rgbe;
  if (width < 8 || width > 0x7fff) throw std::invalid_argument("no run-length form");
  Bytes out = {2, 2, static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width & 255)};
  for (int c = 0; c < 4; ++c) EncodeComponent(rgbe, c, &out);
  return out;
}

Bytes MakeHdr(const std::string& resolutionLine, const std::vector<Bytes>& scanlines,
              Encoding encoding, const std::string& headerLines) {
  std::string text = "#?RADIANCE\n" + headerLines + "\n" + resolutionLine;
  Bytes out(text.begin(), text.end());
  for (const Bytes& line : scanlines) {
    Bytes encoded = EncodeScanline(line, encoding);
    out.insert(out.end(), encoded.begin(), encoded.end());
  }
  return out;
}


void FloatToRGBE(float r, float g, float b, uint8_t* out) {
  const float v = std::max(r, std::max(g, b));
  if (!(v >= 1e-32f)) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  int e;
  const float scale = std::frexp(v, &e) * 256.0f / v;
  out[0] = static_cast<uint8_t>(std::min(255.0f, r * scale));
  out[1] = static_cast<uint8_t>(std::min(255.0f, g * scale));
  out[2] = static_cast<uint8_t>(std::min(255.0f, b * scale));
  out[3] = static_cast<uint8_t>(e + 128);
}

namespace {

uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 0x9e3779b1u ^ (y + 0x7f4a7c15u) * 0x85ebca77u ^ seed * 0xc2b2ae3du;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  return h ^ (h >> 15);
}

}  // namespace

Bytes SceneRow(int width, int height, int y, uint32_t seed) {
  Bytes row(static_cast<size_t>(width) * 4);
  const float horizon = height * 0.62f;
  const float sunX = width * 0.7f, sunY = height * 0.25f;
  const float sunRadius = std::max(2.0f, height / 60.0f);
  const float glowWidth = height * 0.08f;
  for (int x = 0; x < width; ++x) {
    const float noise = (Hash(x, y, seed) & 0xffff) / 65535.0f - 0.5f;  // -0.5 .. 0.5
    float r, g, b;
    if (y < horizon) {
      const float t = y / horizon;
      const float dx = x - sunX, dy = y - sunY, d2 = dx * dx + dy * dy;
      const float glow = 3.0f * std::exp(-d2 / (2 * glowWidth * glowWidth));
      if (d2 < sunRadius * sunRadius) {
        r = 60000.0f, g = 52000.0f, b = 40000.0f;
      } else {
        const float grain = 1.0f + 0.05f * noise;  // a few steps of a mantissa
        r = (0.25f + 0.35f * t + glow) * grain;
        g = (0.45f + 0.30f * t + 0.9f * glow) * grain;
        b = (1.10f - 0.20f * t + 0.6f * glow) * grain;
      }
    } else {
      const float t = (y - horizon) / (height - horizon);
      const float texture = 0.5f + 0.3f * std::sin(x * 0.05f + 3.0f * std::sin(y * 0.02f)) + 0.4f * noise;
      const float shade = (1.0f - 0.5f * t) * (1.0f + texture);
      r = 0.09f * shade, g = 0.07f * shade, b = 0.035f * shade;
    }
    FloatToRGBE(r, g, b, &row[4 * static_cast<size_t>(x)]);
  }
  return row;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
