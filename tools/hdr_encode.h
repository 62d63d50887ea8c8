// Writing Radiance pictures, for fixtures, the sample picture and the
// benchmark's inputs: the two scanline encodings and a generated scene.
#ifndef CORVALIN_TOOLS_HDR_ENCODE_H
#define CORVALIN_TOOLS_HDR_ENCODE_H

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

enum class Encoding { kFlat, kRunLength };

// One scanline of RGBE pixels (4 bytes each) in either encoding. The
// run-length form uses runs for 3 or more equal bytes, literals otherwise;
// it exists only for lengths 8 to 32767 (std::invalid_argument otherwise).
Bytes EncodeScanline(const Bytes& rgbe, Encoding encoding);

// A whole picture: "#?RADIANCE\n", the header lines, "\n", the resolution
// line, then the scanlines as given.
Bytes MakeHdr(const std::string& resolutionLine, const std::vector<Bytes>& scanlines,
              Encoding encoding, const std::string& headerLines = "FORMAT=32-bit_rle_rgbe\n");

// The bytes of a text, such as a header written out by hand.
Bytes Text(const std::string& s);

// The RGBE bytes of a colour (components in [0, 1e38)), as pictures store it.
void FloatToRGBE(float r, float g, float b, uint8_t* out);

// One row (width RGBE pixels) of a deterministic outdoor scene: a sky
// gradient, a bright sun, textured ground and mild noise. Run-length coding
// finds runs in the sky and little in the ground.
Bytes SceneRow(int width, int height, int y, uint32_t seed);

#endif
