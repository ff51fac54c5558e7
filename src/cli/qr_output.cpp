#include "cli/qr_output.h"

#include <array>

namespace qc::cli {

namespace {

// Black on white twice: first in the eight basic colours every terminal knows, then in
// the fixed colours 16 (#000000) and 231 (#ffffff) of the 256-colour cube, which themes
// leave alone, unlike the basic ones (a theme's "white" is often grey, its "black" a dark
// blue). A terminal without 256 colours ignores the second and keeps the first.
constexpr std::string_view kDarkOnLight = "\x1b[30;47m\x1b[38;5;16;48;5;231m";
constexpr std::string_view kReset = "\x1b[0m";
// The foreground (dark) fills the marked half of the cell; the background is light.
constexpr std::string_view kUpperHalf = "\u2580";
constexpr std::string_view kLowerHalf = "\u2584";
constexpr std::string_view kFullBlock = "\u2588";
constexpr std::string_view kNeither = " ";

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

// The largest block a stored deflate block can hold.
constexpr std::size_t kStoredBlockMax = 65535;

void PutBigEndian(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void PutChunk(std::string& out, std::string_view type, std::string_view data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  std::string typed(type);
  typed.append(data);
  out += typed;
  PutBigEndian(out, Crc32(typed));
}

// A zlib stream of stored (uncompressed) deflate blocks: the image is one bit a pixel
// and mostly runs, small enough as it is, and no compressor is needed.
std::string ZlibStored(std::string_view data) {
  std::string out = "\x78\x01";
  std::size_t at = 0;
  do {
    const std::size_t length = std::min(kStoredBlockMax, data.size() - at);
    const bool last = at + length == data.size();
    out.push_back(static_cast<char>(last ? 1 : 0));
    out.push_back(static_cast<char>(length & 0xFF));
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(~length & 0xFF));
    out.push_back(static_cast<char>((~length >> 8) & 0xFF));
    out.append(data.substr(at, length));
    at += length;
  } while (at < data.size());
  PutBigEndian(out, Adler32(data));
  return out;
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc) {
  crc = ~crc;
  for (char c : bytes) crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t Adler32(std::string_view bytes) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (char c : bytes) {
    a = (a + static_cast<unsigned char>(c)) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::string QrTerminalText(const QrCode& code) {
  const int side = code.size() + 2 * kQrQuietZone;
  std::string text;
  for (int row = 0; row < side; row += 2) {
    text += kDarkOnLight;
    for (int column = 0; column < side; ++column) {
      const bool top = code.DarkWithQuietZone(row, column);
      // An odd count of rows leaves the last line's lower half outside: light, as the
      // quiet zone is.
      const bool bottom = code.DarkWithQuietZone(row + 1, column);
      text += top ? (bottom ? kFullBlock : kUpperHalf) : (bottom ? kLowerHalf : kNeither);
    }
    text += kReset;
    text += '\n';
  }
  return text;
}

std::string QrPng(const QrCode& code, int pixelsPerModule) {
  const int modules = code.size() + 2 * kQrQuietZone;
  const auto side = static_cast<std::uint32_t>(modules * pixelsPerModule);
  std::string header;
  PutBigEndian(header, side);
  PutBigEndian(header, side);
  header += '\x01';                // bit depth 1
  header += '\x00';                // grey scale
  header += std::string(3, '\0');  // deflate, adaptive filtering, no interlace

  // Each row: filter type 0, then the pixels, eight to a byte, 1 for white.
  const std::size_t rowBytes = (side + 7) / 8;
  std::string pixels;
  pixels.reserve((rowBytes + 1) * side);
  std::string row(rowBytes, '\0');
  for (int moduleRow = 0; moduleRow < modules; ++moduleRow) {
    row.assign(rowBytes, '\0');
    for (std::uint32_t x = 0; x < side; ++x) {
      const int moduleColumn = static_cast<int>(x) / pixelsPerModule;
      if (!code.DarkWithQuietZone(moduleRow, moduleColumn)) {
        row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
      }
    }
    for (int repeat = 0; repeat < pixelsPerModule; ++repeat) {
      pixels += '\0';
      pixels += row;
    }
  }

  std::string png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", ZlibStored(pixels));
  PutChunk(png, "IEND", "");
  return png;
}

}  // namespace qc::cli
