// quillcast -qr: its arguments, the links it refuses, and the two drawings it makes (the
// terminal's text and the PNG), read back byte by byte. That both decode to the link is
// checked with zbarimg in tests/e2e/test_qr.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/qr_output.h"

namespace qc::cli {
namespace {

TEST(QrArguments, OptionsLevelAndOneOperand) {
  struct Case {
    std::vector<std::string> args;
    bool usage;
    std::string operand;
    std::string png;
    QrLevel level;
  };
  const Case cases[] = {
      {{"-qr", "http://h/a"}, false, "http://h/a", "", QrLevel::M},
      {{"--qr", "a.txt"}, false, "a.txt", "", QrLevel::M},
      {{"-qr", "-o", "x.png", "http://h/a"}, false, "http://h/a", "x.png", QrLevel::M},
      {{"-qr", "http://h/a", "-o", "x.png"}, false, "http://h/a", "x.png", QrLevel::M},
      {{"-qr", "-level", "h", "--o", "y.png", "f"}, false, "f", "y.png", QrLevel::H},
      {{"-qr", "--level", "L", "f"}, false, "f", "", QrLevel::L},
      {{"-qr", "--", "-odd name"}, false, "-odd name", "", QrLevel::M},
      {{"-qr"}, true, "", "", QrLevel::M},
      {{"-qr", "-o", "x.png"}, true, "", "", QrLevel::M},
      {{"-qr", "http://h/a", "-o"}, true, "", "", QrLevel::M},
      {{"-qr", "-level", "X", "f"}, true, "", "", QrLevel::M},
      {{"-qr", "-level"}, true, "", "", QrLevel::M},
      {{"-qr", "a", "b"}, true, "", "", QrLevel::M},
      {{"-qr", "-size", "3", "a"}, true, "", "", QrLevel::M},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    const Invocation invocation = ParseArguments(c.args);
    if (c.usage) {
      EXPECT_EQ(invocation.action, Action::Usage);
      EXPECT_FALSE(invocation.error.empty());
      continue;
    }
    EXPECT_EQ(invocation.action, Action::Qr);
    EXPECT_EQ(invocation.operands, std::vector<std::string>{c.operand});
    EXPECT_EQ(invocation.pngFile, c.png);
    EXPECT_EQ(invocation.qrLevel, c.level);
  }
}

TEST(QrArguments, LinksAreTakenOrRefusedWithTheReason) {
  struct Case {
    std::string link;
    std::string wrong;  // a piece of the reason; empty when the link is taken
  };
  const Case cases[] = {
      {"http://192.168.1.5:8080/report%202009.pdf", ""},
      {"HTTPS://files.example.org/a", ""},
      {"http://h", ""},
      {"http://files.example.org/\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", ""},
      {"http://h/\xF0\x9F\x93\x84", ""},
      {"ftp://h/a", "must begin with http://"},
      {"h/a", "must begin with http://"},
      {"http://", "no host"},
      {"http:///a", "no host"},
      {"http://h/report 2009.pdf", "a blank at byte 16 (write it as %20)"},
      {"http://h/a\tb", "a control character at byte 11 (write it as %09)"},
      {"http://h/a\x7F", "a control character"},
      {"http://h/caf\xE9", "not UTF-8 at byte 13"},
      {"http://h/\xC0\xAF", "not UTF-8"},             // overlong "/"
      {"http://h/\xED\xA0\x80", "not UTF-8"},         // a surrogate
      {"http://h/\xE2\x82", "not UTF-8 at byte 10"},  // cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string wrong = CheckQrLink(c.link);
    if (c.wrong.empty()) {
      EXPECT_EQ(wrong, "");
    } else {
      EXPECT_NE(wrong.find(c.wrong), std::string::npos) << wrong;
    }
  }
  for (const char* link : {"http://h/a", "https://h", "ftp://h", "git+ssh://h/x"}) {
    EXPECT_TRUE(LooksLikeLink(link)) << link;
  }
  for (const char* path : {"a.txt", "/tmp/x://y", "./a://b", "://x", "C:\\a.txt"}) {
    EXPECT_FALSE(LooksLikeLink(path)) << path;
  }
}

TEST(QrOutput, ChecksumsAreThoseOfTheFormats) {
  // The check values the CRC-32 and Adler-32 definitions give.
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Adler32("Wikipedia"), 0x11E60398u);
  EXPECT_EQ(Adler32(""), 1u);
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The PNG read back by the format's rules: chunks with their CRCs, one zlib stream of
// stored blocks, rows of one bit per pixel behind filter byte 0. Returns the pixels, one
// byte each (1 white).
std::vector<std::vector<std::uint8_t>> ReadPng(const std::string& png) {
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  std::size_t at = 8;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::string zlib;
  std::vector<std::string> types;
  while (at + 12 <= png.size()) {
    const std::uint32_t length = BigEndian(png, at);
    const std::string type = png.substr(at + 4, 4);
    const std::string data = png.substr(at + 8, length);
    EXPECT_EQ(BigEndian(png, at + 8 + length), Crc32(type + data)) << type;
    types.push_back(type);
    if (type == "IHDR") {
      width = BigEndian(data, 0);
      height = BigEndian(data, 4);
      EXPECT_EQ(data.substr(8), std::string("\x01\x00\x00\x00\x00", 5));
    } else if (type == "IDAT") {
      zlib += data;
    }
    at += 12 + length;
  }
  EXPECT_EQ(at, png.size());
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(zlib.substr(0, 2), "\x78\x01");
  EXPECT_EQ((static_cast<unsigned char>(zlib[0]) * 256 + static_cast<unsigned char>(zlib[1])) % 31,
            0);
  std::string raw;
  std::size_t z = 2;
  for (bool last = false; !last;) {
    last = (zlib[z] & 1) != 0;
    EXPECT_EQ(zlib[z] & 6, 0) << "not a stored block";
    const std::size_t length =
        static_cast<unsigned char>(zlib[z + 1]) | (static_cast<unsigned char>(zlib[z + 2]) << 8);
    const std::size_t complement =
        static_cast<unsigned char>(zlib[z + 3]) | (static_cast<unsigned char>(zlib[z + 4]) << 8);
    EXPECT_EQ(length ^ 0xFFFF, complement);
    raw += zlib.substr(z + 5, length);
    z += 5 + length;
  }
  EXPECT_EQ(BigEndian(zlib, z), Adler32(raw));
  EXPECT_EQ(z + 4, zlib.size());
  const std::size_t rowBytes = (width + 7) / 8;
  EXPECT_EQ(raw.size(), (rowBytes + 1) * height);
  std::vector<std::vector<std::uint8_t>> pixels(height, std::vector<std::uint8_t>(width));
  for (std::uint32_t y = 0; y < height && (y + 1) * (rowBytes + 1) <= raw.size(); ++y) {
    const std::size_t row = y * (rowBytes + 1);
    EXPECT_EQ(raw[row], 0);
    for (std::uint32_t x = 0; x < width; ++x) {
      pixels[y][x] = (static_cast<unsigned char>(raw[row + 1 + x / 8]) >> (7 - x % 8)) & 1;
    }
  }
  return pixels;
}

TEST(QrOutput, PngHoldsEveryModuleAtItsScaleWithTheQuietZone) {
  // Version 1 (one stored block) and version 40 (several: 1,480 square is 274 KB).
  for (std::size_t length : {std::size_t{10}, std::size_t{2331}}) {
    const std::optional<QrCode> code = EncodeQrCode(std::string(length, 'k'));
    ASSERT_TRUE(code.has_value());
    const int scale = kPngPixelsPerModule;
    const std::vector<std::vector<std::uint8_t>> pixels = ReadPng(QrPng(*code, scale));
    const int side = (code->size() + 8) * scale;
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(side));
    ASSERT_EQ(pixels[0].size(), static_cast<std::size_t>(side));
    int wrong = 0;
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const bool dark = code->DarkWithQuietZone(y / scale, x / scale);
        wrong += pixels[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == (dark ? 0 : 1)
                     ? 0
                     : 1;
      }
    }
    EXPECT_EQ(wrong, 0);
    // The quiet zone is white and the finder's corner black, where a reader looks.
    EXPECT_EQ(pixels[4 * scale - 1][4 * scale - 1], 1);
    EXPECT_EQ(pixels[4 * scale][4 * scale], 0);
  }
}

TEST(QrOutput, TerminalTextIsDarkOnLightTwoRowsALine) {
  const std::optional<QrCode> code = EncodeQrCode("http://192.168.1.5:8080/report%202009.pdf");
  ASSERT_TRUE(code.has_value());
  const std::string text = QrTerminalText(*code);
  const int side = code->size() + 8;
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "the last line ends with a line feed";
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), static_cast<std::size_t>((side + 1) / 2));
  const std::string colours = "\x1b[30;47m\x1b[38;5;16;48;5;231m";
  const std::string reset = "\x1b[0m";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string& line = lines[i];
    ASSERT_EQ(line.compare(0, colours.size(), colours), 0) << "every line sets its colours";
    ASSERT_EQ(line.compare(line.size() - reset.size(), reset.size(), reset), 0);
    const std::string cells =
        line.substr(colours.size(), line.size() - colours.size() - reset.size());
    // Each cell: the upper and lower module, dark drawn in the foreground.
    std::size_t at = 0;
    for (int column = 0; column < side; ++column) {
      bool top = false;
      bool bottom = false;
      if (cells[at] == ' ') {
        at += 1;
      } else {
        const std::string cell = cells.substr(at, 3);
        at += 3;
        if (cell == "\u2580") {
          top = true;
        } else if (cell == "\u2584") {
          bottom = true;
        } else if (cell == "\u2588") {
          top = bottom = true;
        } else {
          FAIL() << "unexpected cell at column " << column;
        }
      }
      const int row = static_cast<int>(2 * i);
      EXPECT_EQ(top, code->DarkWithQuietZone(row, column)) << column;
      EXPECT_EQ(bottom, code->DarkWithQuietZone(row + 1, column)) << column;
    }
    EXPECT_EQ(at, cells.size());
  }
}

}  // namespace
}  // namespace qc::cli
