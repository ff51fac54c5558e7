// The QR encoder held against facts of the standard that do not come from this code: its
// format and version information tables, its capacities, its worked Reed-Solomon example,
// the fixed patterns every reader looks for. That the symbols decode is checked by an
// independent reader (zbarimg) in tests/e2e/test_qr.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shares/qr_code.h"

namespace qc {
namespace {

using qr_detail::FormatBits;
using qr_detail::VersionBits;

// "M5", "40L": appended piece by piece (gcc 12 warns wrongly, -Wrestrict, on a literal or a
// character + a temporary).
std::string Named(QrLevel level, int number, bool numberFirst = false) {
  std::string name = numberFirst ? std::to_string(number) : std::string();
  name += QrLevelLetter(level);
  if (!numberFirst) name += std::to_string(number);
  return name;
}

TEST(QrCode, FormatInformationIsTheStandardsTable) {
  struct Row {
    QrLevel level;
    int mask;
    const char* bits;
  };
  const Row rows[] = {
      {QrLevel::L, 0, "111011111000100"}, {QrLevel::L, 7, "110100101110110"},
      {QrLevel::M, 0, "101010000010010"}, {QrLevel::M, 5, "100000011001110"},
      {QrLevel::Q, 0, "011010101011111"}, {QrLevel::Q, 3, "011101000000110"},
      {QrLevel::H, 0, "001011010001001"}, {QrLevel::H, 6, "000110100001100"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Named(row.level, row.mask));
    EXPECT_EQ(FormatBits(row.level, row.mask), std::stoi(row.bits, nullptr, 2));
  }
}

TEST(QrCode, VersionInformationIsTheStandardsTable) {
  EXPECT_EQ(VersionBits(7), 0x07C94u);
  EXPECT_EQ(VersionBits(21), 0x15683u);
  EXPECT_EQ(VersionBits(40), 0x28C69u);
}

TEST(QrCode, ReedSolomonGivesTheWorkedExamplesCodewords) {
  // Version 1-M, one block of 16 data codewords and 10 error correction codewords: the
  // standard's "01234567" in numeric mode, and "HELLO WORLD" in alphanumeric mode.
  struct Row {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> ec;
  };
  const Row rows[] = {
      {{0x10, 0x20, 0x0C, 0x56, 0x61, 0x80, 0xEC, 0x11, 0xEC, 0x11, 0xEC, 0x11, 0xEC, 0x11, 0xEC,
        0x11},
       {0xA5, 0x24, 0xD4, 0xC1, 0xED, 0x36, 0xC7, 0x87, 0x2C, 0x55}},
      {{32, 91, 11, 120, 209, 114, 220, 77, 67, 64, 236, 17, 236, 17, 236, 17},
       {196, 35, 39, 119, 235, 215, 231, 226, 93, 23}},
  };
  for (const Row& row : rows) EXPECT_EQ(qr_detail::ReedSolomonRemainder(row.data, 10), row.ec);
}

TEST(QrCode, CapacitiesAndBlocksAreTheStandardsTable) {
  struct Row {
    int version;
    QrLevel level;
    std::size_t bytes;  // byte mode capacity
    int dataCodewords;
    int blocks;
    int ecPerBlock;
  };
  const Row rows[] = {
      {1, QrLevel::L, 17, 19, 1, 7},        {1, QrLevel::M, 14, 16, 1, 10},
      {1, QrLevel::Q, 11, 13, 1, 13},       {1, QrLevel::H, 7, 9, 1, 17},
      {5, QrLevel::Q, 60, 62, 4, 18},       {10, QrLevel::M, 213, 216, 5, 26},
      {14, QrLevel::H, 194, 197, 16, 24},   {40, QrLevel::L, 2953, 2956, 25, 30},
      {40, QrLevel::M, 2331, 2334, 49, 28}, {40, QrLevel::H, 1273, 1276, 81, 30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Named(row.level, row.version, true));
    EXPECT_EQ(QrByteCapacity(row.version, row.level), row.bytes);
    const qr_detail::BlockLayout layout = qr_detail::LayoutOf(row.version, row.level);
    EXPECT_EQ(layout.dataCodewords, row.dataCodewords);
    EXPECT_EQ(layout.blocks, row.blocks);
    EXPECT_EQ(layout.ecPerBlock, row.ecPerBlock);
  }
  // 5-Q: two blocks of 15 data codewords, then two of 16.
  EXPECT_EQ(qr_detail::LayoutOf(5, QrLevel::Q).shortBlocks, 2);
}

TEST(QrCode, TheSmallestVersionThatHoldsTheLinkIsChosen) {
  struct Row {
    std::size_t length;
    QrLevel level;
    int version;  // 0: too long for any version
  };
  const Row rows[] = {
      {0, QrLevel::M, 1},     {14, QrLevel::M, 1},   {15, QrLevel::M, 2},    {17, QrLevel::L, 1},
      {7, QrLevel::H, 1},     {8, QrLevel::H, 2},    {213, QrLevel::M, 10},  {214, QrLevel::M, 11},
      {2331, QrLevel::M, 40}, {2332, QrLevel::M, 0}, {2953, QrLevel::L, 40}, {2954, QrLevel::L, 0},
      {1273, QrLevel::H, 40}, {1274, QrLevel::H, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Named(row.level, static_cast<int>(row.length), true));
    const std::optional<QrCode> code = EncodeQrCode(std::string(row.length, 'a'), row.level);
    if (row.version == 0) {
      EXPECT_FALSE(code.has_value());
      continue;
    }
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(code->version(), row.version);
    EXPECT_EQ(code->size(), 17 + 4 * row.version);
    EXPECT_EQ(code->level(), row.level);
  }
  EXPECT_EQ(EncodeQrCode("http://192.168.1.5/a.txt")->level(), QrLevel::M);
}

// Reads `count` modules as bits, the first the most significant.
std::uint32_t ReadBits(const QrCode& code, const std::vector<std::pair<int, int>>& places) {
  std::uint32_t bits = 0;
  for (const auto& [row, column] : places) bits = (bits << 1) | (code.Dark(row, column) ? 1U : 0U);
  return bits;
}

TEST(QrCode, FixedPatternsAndInformationStandWhereReadersLook) {
  for (int version : {1, 2, 6, 7, 14, 21, 32, 40}) {
    for (QrLevel level : {QrLevel::L, QrLevel::H}) {
      SCOPED_TRACE(Named(level, version, true));
      // Long enough for this version and no smaller one.
      const std::size_t length = version == 1 ? 1 : QrByteCapacity(version - 1, level) + 1;
      const std::optional<QrCode> code = EncodeQrCode(std::string(length, 'x'), level);
      ASSERT_TRUE(code.has_value());
      ASSERT_EQ(code->version(), version);
      const int n = code->size();
      // Finders: a dark ring, a light ring, a dark 3 x 3 centre; light separators.
      for (const auto& [top, left] : {std::pair{0, 0}, {0, n - 7}, {n - 7, 0}}) {
        for (int r = 0; r < 7; ++r) {
          for (int c = 0; c < 7; ++c) {
            const bool ring = r == 0 || r == 6 || c == 0 || c == 6;
            const bool centre = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            EXPECT_EQ(code->Dark(top + r, left + c), ring || centre) << r << "," << c;
          }
        }
      }
      for (int i = 0; i < 8; ++i) {
        EXPECT_FALSE(code->Dark(7, i));
        EXPECT_FALSE(code->Dark(i, 7));
        EXPECT_FALSE(code->Dark(n - 8, i));
        EXPECT_FALSE(code->Dark(i, n - 8));
      }
      // Timing patterns alternate, dark on even places; the dark module by the
      // bottom-left finder.
      for (int i = 8; i < n - 8; ++i) {
        EXPECT_EQ(code->Dark(6, i), i % 2 == 0);
        EXPECT_EQ(code->Dark(i, 6), i % 2 == 0);
      }
      EXPECT_TRUE(code->Dark(n - 8, 8));
      // Both copies of the format information say the level and the mask chosen.
      const std::uint32_t format = FormatBits(level, code->mask());
      EXPECT_EQ(ReadBits(*code, {{8, 0},
                                 {8, 1},
                                 {8, 2},
                                 {8, 3},
                                 {8, 4},
                                 {8, 5},
                                 {8, 7},
                                 {8, 8},
                                 {7, 8},
                                 {5, 8},
                                 {4, 8},
                                 {3, 8},
                                 {2, 8},
                                 {1, 8},
                                 {0, 8}}),
                format);
      EXPECT_EQ(ReadBits(*code, {{n - 1, 8},
                                 {n - 2, 8},
                                 {n - 3, 8},
                                 {n - 4, 8},
                                 {n - 5, 8},
                                 {n - 6, 8},
                                 {n - 7, 8},
                                 {8, n - 8},
                                 {8, n - 7},
                                 {8, n - 6},
                                 {8, n - 5},
                                 {8, n - 4},
                                 {8, n - 3},
                                 {8, n - 2},
                                 {8, n - 1}}),
                format);
      // From version 7 on, both version blocks, the most significant bit farthest from
      // the top-left corner.
      if (version >= 7) {
        std::vector<std::pair<int, int>> topRight;
        std::vector<std::pair<int, int>> bottomLeft;
        for (int i = 17; i >= 0; --i) {
          topRight.emplace_back(i / 3, n - 11 + i % 3);
          bottomLeft.emplace_back(n - 11 + i % 3, i / 3);
        }
        EXPECT_EQ(ReadBits(*code, topRight), VersionBits(version));
        EXPECT_EQ(ReadBits(*code, bottomLeft), VersionBits(version));
      }
      // Alignment centres: dark, in a light ring, at the standard's places (the
      // bottom-right one is always there from version 2 on).
      const std::vector<int> centres = qr_detail::AlignmentCentres(version);
      if (version >= 2) {
        EXPECT_EQ(centres.front(), 6);
        EXPECT_EQ(centres.back(), n - 7);
        EXPECT_TRUE(code->Dark(n - 7, n - 7));
        EXPECT_FALSE(code->Dark(n - 8, n - 7));
        EXPECT_TRUE(code->Dark(n - 9, n - 7));
      }
    }
  }
}

TEST(QrCode, TheChosenMaskHasTheLeastPenalty) {
  // The same symbol under each mask, decoded back through its format information: the
  // mask the encoder kept scores no worse than any other.
  const std::optional<QrCode> chosen = EncodeQrCode("http://files.example.org:8080/pub/report.pdf");
  ASSERT_TRUE(chosen.has_value());
  const int best = qr_detail::MaskPenalty(*chosen);
  EXPECT_GT(best, 0);
  for (int mask = 0; mask < 8; ++mask) {
    const std::optional<QrCode> other =
        qr_detail::EncodeWithMask("http://files.example.org:8080/pub/report.pdf", QrLevel::M, mask);
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->mask(), mask);
    EXPECT_GE(qr_detail::MaskPenalty(*other), best) << "mask " << mask;
  }
}

TEST(QrCode, LevelLetters) {
  for (QrLevel level : {QrLevel::L, QrLevel::M, QrLevel::Q, QrLevel::H}) {
    EXPECT_EQ(QrLevelFromLetter(std::string(1, QrLevelLetter(level))), level);
  }
  EXPECT_EQ(QrLevelFromLetter("q"), QrLevel::Q);
  for (const char* wrong : {"", "X", "LM", "0"}) EXPECT_FALSE(QrLevelFromLetter(wrong).has_value());
}

}  // namespace
}  // namespace qc
