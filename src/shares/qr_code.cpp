// The QR code symbol as ISO/IEC 18004 builds it: the data in byte mode, split into blocks
// with their Reed-Solomon codewords, interleaved and laid out around the function
// patterns, then masked with the pattern the penalty rules like best.
#include "shares/qr_code.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <utility>

namespace qc {

namespace {

constexpr int kLevels = 4;

// Error correction codewords per block, by level (L, M, Q, H) and version (index 0 unused).
constexpr std::array<std::array<std::uint8_t, 41>, kLevels> kEcPerBlock = {{
    {0,  7,  10, 15, 20, 26, 18, 20, 24, 30, 18, 20, 24, 26, 30, 22, 24, 28, 30, 28, 28,
     28, 28, 30, 30, 26, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {0,  10, 16, 26, 18, 24, 16, 18, 22, 22, 26, 30, 22, 22, 24, 24, 28, 28, 26, 26, 26,
     26, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28, 28},
    {0,  13, 22, 18, 26, 18, 24, 18, 22, 20, 24, 28, 26, 24, 20, 30, 24, 28, 28, 26, 30,
     28, 30, 30, 30, 30, 28, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
    {0,  17, 28, 22, 16, 22, 28, 26, 26, 24, 28, 24, 28, 22, 24, 24, 30, 28, 28, 26, 28,
     30, 24, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30, 30},
}};

// Error correction blocks, by level and version. The data codewords that are left once
// the error correction ones are taken out of the symbol are shared among them as evenly
// as possible, the shorter blocks first.
constexpr std::array<std::array<std::uint8_t, 41>, kLevels> kBlocks = {{
    {0, 1, 1, 1,  1,  1,  2,  2,  2,  2,  4,  4,  4,  4,  4,  6,  6,  6,  6,  7, 8,
     8, 9, 9, 10, 12, 12, 12, 13, 14, 15, 16, 17, 18, 19, 19, 20, 21, 22, 24, 25},
    {0,  1,  1,  1,  2,  2,  4,  4,  4,  5,  5,  5,  8,  9,  9,  10, 10, 11, 13, 14, 16,
     17, 17, 18, 20, 21, 23, 25, 26, 28, 29, 31, 33, 35, 37, 38, 40, 43, 45, 47, 49},
    {0,  1,  1,  2,  2,  4,  4,  6,  6,  8,  8,  8,  10, 12, 16, 12, 17, 16, 18, 21, 20,
     23, 23, 25, 27, 29, 34, 34, 35, 38, 40, 43, 45, 48, 51, 53, 56, 59, 62, 65, 68},
    {0,  1,  1,  2,  4,  4,  4,  5,  6,  8,  8,  11, 11, 16, 16, 18, 16, 19, 21, 25, 25,
     25, 34, 30, 32, 35, 37, 40, 42, 45, 48, 51, 54, 57, 60, 63, 66, 70, 74, 77, 81},
}};

// Row and column coordinates of the alignment pattern centres, by version (0-terminated).
constexpr std::array<std::array<std::uint8_t, 7>, 41> kAlignment = {{
    {},
    {},
    {6, 18},
    {6, 22},
    {6, 26},
    {6, 30},
    {6, 34},
    {6, 22, 38},
    {6, 24, 42},
    {6, 26, 46},
    {6, 28, 50},
    {6, 30, 54},
    {6, 32, 58},
    {6, 34, 62},
    {6, 26, 46, 66},
    {6, 26, 48, 70},
    {6, 26, 50, 74},
    {6, 30, 54, 78},
    {6, 30, 56, 82},
    {6, 30, 58, 86},
    {6, 34, 62, 90},
    {6, 28, 50, 72, 94},
    {6, 26, 50, 74, 98},
    {6, 30, 54, 78, 102},
    {6, 28, 54, 80, 106},
    {6, 32, 58, 84, 110},
    {6, 30, 58, 86, 114},
    {6, 34, 62, 90, 118},
    {6, 26, 50, 74, 98, 122},
    {6, 30, 54, 78, 102, 126},
    {6, 26, 52, 78, 104, 130},
    {6, 30, 56, 82, 108, 134},
    {6, 34, 60, 86, 112, 138},
    {6, 30, 58, 86, 114, 142},
    {6, 34, 62, 90, 118, 146},
    {6, 30, 54, 78, 102, 126, 150},
    {6, 24, 50, 76, 102, 128, 154},
    {6, 28, 54, 80, 106, 132, 158},
    {6, 32, 58, 84, 110, 136, 162},
    {6, 26, 54, 82, 110, 138, 166},
    {6, 30, 58, 86, 114, 142, 170},
}};

constexpr int kByteModeIndicator = 0b0100;
// A byte segment's bytes are ISO 8859-1 unless an ECI designator says otherwise; readers
// that guess (zbar takes Chinese or Japanese UTF-8 for Shift JIS) then show another
// link. A link with 8-bit bytes is UTF-8, so it is preceded by ECI 26 (UTF-8): its
// mode, then the designator in one byte. ASCII links go without it, as every reader
// reads them alike.
constexpr int kEciModeIndicator = 0b0111;
constexpr int kEciUtf8 = 26;
constexpr int kEciBits = 4 + 8;
constexpr std::uint8_t kPadCodewords[2] = {0xEC, 0x11};
// Generators of the BCH codes of the format (15, 5) and version (18, 6) information.
constexpr std::uint32_t kFormatGenerator = 0x537;
constexpr std::uint32_t kVersionGenerator = 0x1F25;
// Keeps the format information from ever being all light.
constexpr std::uint16_t kFormatMask = 0x5412;
// The penalty weights of the mask evaluation.
constexpr int kPenaltyRun = 3;       // N1: a run of five alike, plus one per module beyond
constexpr int kPenaltyBlock = 3;     // N2: each 2 x 2 block of one colour
constexpr int kPenaltyFinder = 40;   // N3: a finder-like 1:1:3:1:1 with light beside it
constexpr int kPenaltyBalance = 10;  // N4: each 5 % that dark modules stray from half

int LevelIndex(QrLevel level) { return static_cast<int>(level); }

// The two-bit level indicator of the format information.
std::uint32_t LevelBits(QrLevel level) {
  switch (level) {
    case QrLevel::L:
      return 0b01;
    case QrLevel::M:
      return 0b00;
    case QrLevel::Q:
      return 0b11;
    case QrLevel::H:
      return 0b10;
  }
  return 0;
}

int SizeOf(int version) { return 17 + 4 * version; }
int CountBits(int version) { return version <= 9 ? 8 : 16; }

// The remainder of `value` shifted past the generator's degree, divided by the generator:
// the check bits of a BCH code.
std::uint32_t BchCheck(std::uint32_t value, std::uint32_t generator) {
  int degree = 0;
  while ((generator >> (degree + 1)) != 0) ++degree;
  std::uint32_t remainder = value << degree;
  for (int bit = 31; bit >= degree; --bit) {
    if ((remainder >> bit) & 1U) remainder ^= generator << (bit - degree);
  }
  return remainder;
}

// ---- GF(256) -----------------------------------------------------------------------------

struct GaloisField {
  std::array<std::uint8_t, 512> exp{};
  std::array<int, 256> log{};
  constexpr GaloisField() {
    int value = 1;
    for (int i = 0; i < 255; ++i) {
      exp[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
      log[static_cast<std::size_t>(value)] = i;
      value <<= 1;
      if (value & 0x100) value ^= 0x11D;
    }
    // Doubled, so that a product's exponent needs no reduction modulo 255.
    for (int i = 255; i < 512; ++i)
      exp[static_cast<std::size_t>(i)] = exp[static_cast<std::size_t>(i - 255)];
  }
  constexpr std::uint8_t Multiply(std::uint8_t a, std::uint8_t b) const {
    if (a == 0 || b == 0) return 0;
    return exp[static_cast<std::size_t>(log[a]) + static_cast<std::size_t>(log[b])];
  }
};
constexpr GaloisField kField;

// The generator polynomial of `degree` error correction codewords: the product of
// (x - a^i) for i from 0 to degree - 1, its coefficients from the highest power down
// (the first is always 1).
std::vector<std::uint8_t> GeneratorPolynomial(int degree) {
  std::vector<std::uint8_t> poly = {1};
  std::uint8_t root = 1;  // a^i
  for (int i = 0; i < degree; ++i) {
    // poly * (x - root): each term once shifted up a power, once times the root; minus is
    // plus in GF(2^8).
    std::vector<std::uint8_t> product(poly.size() + 1, 0);
    for (std::size_t j = 0; j < poly.size(); ++j) {
      product[j] ^= poly[j];
      product[j + 1] ^= kField.Multiply(poly[j], root);
    }
    poly = std::move(product);
    root = kField.Multiply(root, 2);
  }
  return poly;
}

// ---- The symbol under construction ------------------------------------------------------

class Symbol {
 public:
  explicit Symbol(int version)
      : version_(version),
        size_(SizeOf(version)),
        dark_(static_cast<std::size_t>(size_ * size_), 0),
        function_(static_cast<std::size_t>(size_ * size_), 0) {
    DrawFunctionPatterns();
    data_.resize(function_.size());
    for (std::size_t i = 0; i < function_.size(); ++i) data_[i] = function_[i] ^ 1;
  }

  int size() const { return size_; }
  std::vector<std::uint8_t>& modules() { return dark_; }
  bool IsFunction(int row, int column) const { return function_[Index(row, column)] != 0; }
  bool Dark(int row, int column) const { return dark_[Index(row, column)] != 0; }

  int DataModules() const {
    int count = 0;
    for (std::uint8_t f : function_) count += f == 0 ? 1 : 0;
    return count;
  }

  // The codewords' bits, most significant first, up and down the two-module columns from
  // the bottom right; the vertical timing column is stepped over. Bits left over (the
  // remainder bits) stay light.
  void PlaceCodewords(const std::vector<std::uint8_t>& codewords) {
    const std::size_t totalBits = codewords.size() * 8;
    std::size_t bit = 0;
    bool upward = true;
    for (int right = size_ - 1; right >= 1; right -= 2) {
      if (right == 6) right = 5;
      for (int step = 0; step < size_; ++step) {
        const int row = upward ? size_ - 1 - step : step;
        for (int column : {right, right - 1}) {
          if (IsFunction(row, column) || bit >= totalBits) continue;
          const bool on = (codewords[bit / 8] >> (7 - bit % 8)) & 1U;
          dark_[Index(row, column)] = on ? 1 : 0;
          ++bit;
        }
      }
      upward = !upward;
    }
  }

  // Inverts the data modules where the mask's condition holds. Every condition repeats
  // each 12 rows and 6 columns, so its 12 rows are spelled out once across the width and
  // laid over the symbol's rows, a whole row at a time.
  void ApplyMask(int mask) {
    std::vector<std::uint8_t> pattern(static_cast<std::size_t>(kMaskPeriod * size_));
    for (int row = 0; row < kMaskPeriod; ++row) {
      for (int column = 0; column < size_; ++column) {
        pattern[Index(row, column)] = MaskInverts(mask, row, column);
      }
    }
    for (int row = 0; row < size_; ++row) {
      const std::uint8_t* inverts = pattern.data() + Index(row % kMaskPeriod, 0);
      const std::uint8_t* data = data_.data() + Index(row, 0);
      std::uint8_t* dark = dark_.data() + Index(row, 0);
      for (int column = 0; column < size_; ++column) dark[column] ^= inverts[column] & data[column];
    }
  }

  // Both copies of the format information, the most significant bit first in the order
  // the standard numbers their places; the module above the bottom-left copy is always dark.
  void DrawFormat(QrLevel level, int mask) {
    const std::uint16_t bits = qr_detail::FormatBits(level, mask);
    for (int i = 0; i < 15; ++i) {
      const bool on = (bits >> (14 - i)) & 1U;
      // Around the top-left finder: along row 8, then up column 8 (the timing modules of
      // row and column 6 are stepped over).
      if (i < 6) {
        Set(8, i, on);
      } else if (i < 8) {
        Set(8, i + 1, on);
      } else if (i == 8) {
        Set(7, 8, on);
      } else {
        Set(14 - i, 8, on);
      }
      // Split between the other two finders: up column 8 at the bottom left, then along
      // row 8 at the top right.
      if (i < 7) {
        Set(size_ - 1 - i, 8, on);
      } else {
        Set(8, size_ - 15 + i, on);
      }
    }
    Set(size_ - 8, 8, true);
  }

 private:
  std::size_t Index(int row, int column) const {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(size_) +
           static_cast<std::size_t>(column);
  }
  void Set(int row, int column, bool on) {
    dark_[Index(row, column)] = on ? 1 : 0;
    function_[Index(row, column)] = 1;
  }

  static constexpr int kMaskPeriod = 12;

  static std::uint8_t MaskInverts(int mask, int row, int column) {
    bool inverts = false;
    switch (mask) {
      case 0:
        inverts = (row + column) % 2 == 0;
        break;
      case 1:
        inverts = row % 2 == 0;
        break;
      case 2:
        inverts = column % 3 == 0;
        break;
      case 3:
        inverts = (row + column) % 3 == 0;
        break;
      case 4:
        inverts = (row / 2 + column / 3) % 2 == 0;
        break;
      case 5:
        inverts = (row * column) % 2 + (row * column) % 3 == 0;
        break;
      case 6:
        inverts = ((row * column) % 2 + (row * column) % 3) % 2 == 0;
        break;
      case 7:
        inverts = ((row + column) % 2 + (row * column) % 3) % 2 == 0;
        break;
      default:
        break;
    }
    return inverts ? 1 : 0;
  }

  void DrawFunctionPatterns() {
    // Finder patterns with their light separators, at three corners.
    for (const auto& [top, left] : {std::pair{0, 0}, {0, size_ - 7}, {size_ - 7, 0}}) {
      for (int dr = -1; dr <= 7; ++dr) {
        for (int dc = -1; dc <= 7; ++dc) {
          const int row = top + dr;
          const int column = left + dc;
          if (row < 0 || column < 0 || row >= size_ || column >= size_) continue;
          const int ring = std::max(std::abs(dr - 3), std::abs(dc - 3));
          Set(row, column, ring != 2 && ring != 4);
        }
      }
    }
    // Timing patterns between the finders.
    for (int i = 8; i < size_ - 8; ++i) {
      Set(6, i, i % 2 == 0);
      Set(i, 6, i % 2 == 0);
    }
    // Alignment patterns wherever they do not meet a finder.
    const std::vector<int> centres = qr_detail::AlignmentCentres(version_);
    const int last = centres.empty() ? 0 : centres.back();
    for (int row : centres) {
      for (int column : centres) {
        const bool onFinder = (row == 6 && column == 6) || (row == 6 && column == last) ||
                              (row == last && column == 6);
        if (onFinder) continue;
        for (int dr = -2; dr <= 2; ++dr) {
          for (int dc = -2; dc <= 2; ++dc) {
            Set(row + dr, column + dc, std::max(std::abs(dr), std::abs(dc)) != 1);
          }
        }
      }
    }
    // The format areas are reserved now and written per mask.
    DrawFormat(QrLevel::M, 0);
    // Version information: a 6 x 3 block beside each of the two finders away from the
    // top-left corner, the least significant bit nearest that corner.
    if (version_ >= 7) {
      const std::uint32_t bits = qr_detail::VersionBits(version_);
      for (int i = 0; i < 18; ++i) {
        const bool on = (bits >> i) & 1U;
        Set(i / 3, size_ - 11 + i % 3, on);
        Set(size_ - 11 + i % 3, i / 3, on);
      }
    }
  }

  int version_;
  int size_;
  std::vector<std::uint8_t> dark_;
  std::vector<std::uint8_t> function_;
  std::vector<std::uint8_t> data_;  // 1 where codewords go: what masks may invert
};

// The modules left for codewords once the function patterns are placed, by version:
// counted once on real symbols rather than taken from a formula.
int DataModules(int version) {
  static const std::array<int, kQrMaxVersion + 1> counts = [] {
    std::array<int, kQrMaxVersion + 1> all{};
    for (int v = kQrMinVersion; v <= kQrMaxVersion; ++v) {
      all[static_cast<std::size_t>(v)] = Symbol(v).DataModules();
    }
    return all;
  }();
  return counts[static_cast<std::size_t>(version)];
}

bool NeedsUtf8Designator(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

// The bits of the segment: mode, count, the bytes; then the terminator and the pad
// codewords up to `capacity` codewords.
std::vector<std::uint8_t> DataCodewords(std::string_view bytes, int version, int capacity) {
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(capacity));
  std::uint32_t buffer = 0;
  int buffered = 0;
  const auto append = [&](std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      buffer = (buffer << 1) | ((value >> i) & 1U);
      if (++buffered == 8) {
        out.push_back(static_cast<std::uint8_t>(buffer));
        buffer = 0;
        buffered = 0;
      }
    }
  };
  if (NeedsUtf8Designator(bytes)) {
    append(kEciModeIndicator, 4);
    append(kEciUtf8, 8);
  }
  append(kByteModeIndicator, 4);
  append(static_cast<std::uint32_t>(bytes.size()), CountBits(version));
  for (char c : bytes) append(static_cast<unsigned char>(c), 8);
  // Up to four zero bits of terminator, then zeros to the end of the codeword.
  const int room = capacity * 8 - static_cast<int>(out.size()) * 8 - buffered;
  append(0, std::min(4, room));
  if (buffered != 0) append(0, 8 - buffered);
  for (std::size_t i = 0; out.size() < static_cast<std::size_t>(capacity); ++i) {
    out.push_back(kPadCodewords[i % 2]);
  }
  return out;
}

// Splits the data into blocks, adds each block's error correction codewords and
// interleaves them: the first codeword of every block, then the second, ...; then the
// same for the error correction codewords.
std::vector<std::uint8_t> InterleavedCodewords(const std::vector<std::uint8_t>& data,
                                               const qr_detail::BlockLayout& layout) {
  const int shortLength = layout.dataCodewords / layout.blocks;
  std::vector<std::vector<std::uint8_t>> dataBlocks;
  std::vector<std::vector<std::uint8_t>> ecBlocks;
  std::size_t at = 0;
  for (int b = 0; b < layout.blocks; ++b) {
    const std::size_t length =
        static_cast<std::size_t>(shortLength) + (b < layout.shortBlocks ? 0U : 1U);
    std::vector<std::uint8_t> block(data.begin() + static_cast<std::ptrdiff_t>(at),
                                    data.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
    ecBlocks.push_back(qr_detail::ReedSolomonRemainder(block, layout.ecPerBlock));
    dataBlocks.push_back(std::move(block));
  }
  std::vector<std::uint8_t> out;
  out.reserve(data.size() + static_cast<std::size_t>(layout.ecPerBlock * layout.blocks));
  for (int i = 0; i <= shortLength; ++i) {
    for (const auto& block : dataBlocks) {
      if (static_cast<std::size_t>(i) < block.size())
        out.push_back(block[static_cast<std::size_t>(i)]);
    }
  }
  for (int i = 0; i < layout.ecPerBlock; ++i) {
    for (const auto& block : ecBlocks) out.push_back(block[static_cast<std::size_t>(i)]);
  }
  return out;
}

// N1 and N3 over one line of modules (a row or a column), `step` apart in the grid, from
// its runs of one colour.
int LinePenalty(const std::uint8_t* line, int n, int step) {
  std::array<int, 17 + 4 * kQrMaxVersion> runs{};
  int count = 0;
  int length = 1;
  for (int i = 1; i < n; ++i) {
    const std::uint8_t* here = line + static_cast<std::ptrdiff_t>(i) * step;
    if (*here == *(here - step)) {
      ++length;
    } else {
      runs[static_cast<std::size_t>(count++)] = length;
      length = 1;
    }
  }
  runs[static_cast<std::size_t>(count++)] = length;
  int penalty = 0;
  for (int k = 0; k < count; ++k) {
    const int run = runs[static_cast<std::size_t>(k)];
    if (run >= 5) penalty += kPenaltyRun + (run - 5);
  }
  // A finder-like dark-light-dark-dark-dark-light-dark: runs of 1, 1, 3, 1, 1 from a dark
  // one, with four light modules before or after it; the quiet zone beyond the line is
  // four more light ones.
  const auto lightRun = [&](int k) {
    if (k < 0 || k >= count) return 4;
    return runs[static_cast<std::size_t>(k)] + (k == 0 || k == count - 1 ? 4 : 0);
  };
  for (int k = line[0] != 0 ? 0 : 1; k + 4 < count; k += 2) {
    const int* at = runs.data() + k;
    if (at[0] != 1 || at[1] != 1 || at[2] != 3 || at[3] != 1 || at[4] != 1) continue;
    if (lightRun(k - 1) >= 4 || lightRun(k + 5) >= 4) penalty += kPenaltyFinder;
  }
  return penalty;
}

// The penalty the standard gives a symbol (n x n modules, one byte each, row by row).
int Penalty(const std::uint8_t* grid, int n) {
  int penalty = 0;
  for (int i = 0; i < n; ++i) {
    penalty += LinePenalty(grid + static_cast<std::ptrdiff_t>(i) * n, n, 1);  // row i
    penalty += LinePenalty(grid + i, n, n);                                   // column i
  }
  // N2, and the dark modules for N4: loops simple enough for the compiler to run on many
  // modules at once.
  int dark = 0;
  int blocks = 0;
  for (int row = 0; row < n; ++row) {
    const std::uint8_t* here = grid + static_cast<std::ptrdiff_t>(row) * n;
    for (int column = 0; column < n; ++column) dark += here[column];
    if (row + 1 == n) break;
    const std::uint8_t* below = here + n;
    for (int column = 0; column + 1 < n; ++column) {
      const std::uint8_t colour = here[column];
      const std::uint8_t differs = static_cast<std::uint8_t>(
          (colour ^ here[column + 1]) | (colour ^ below[column]) | (colour ^ below[column + 1]));
      blocks += differs == 0 ? 1 : 0;
    }
  }
  penalty += kPenaltyBlock * blocks;
  const int total = n * n;
  // Whole steps of 5 % away from half dark: |dark% - 50| / 5 = |20 dark - 10 total| / total.
  penalty += kPenaltyBalance * (std::abs(20 * dark - 10 * total) / total);
  return penalty;
}

}  // namespace

QrCode::QrCode(int version, QrLevel level, int mask, std::vector<std::uint8_t> modules)
    : version_(version),
      level_(level),
      mask_(mask),
      size_(SizeOf(version)),
      modules_(std::move(modules)) {}

namespace qr_detail {

std::vector<std::uint8_t> ReedSolomonRemainder(const std::vector<std::uint8_t>& data, int ecCount) {
  const std::vector<std::uint8_t> generator = GeneratorPolynomial(ecCount);
  // Long division of data(x) * x^ecCount by the generator; what is left in the last
  // ecCount places is the remainder.
  std::vector<std::uint8_t> dividend(data);
  dividend.resize(data.size() + static_cast<std::size_t>(ecCount), 0);
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::uint8_t factor = dividend[i];
    if (factor == 0) continue;
    for (std::size_t j = 1; j < generator.size(); ++j) {
      dividend[i + j] ^= kField.Multiply(generator[j], factor);
    }
  }
  return std::vector<std::uint8_t>(dividend.end() - ecCount, dividend.end());
}

std::uint16_t FormatBits(QrLevel level, int mask) {
  const std::uint32_t data = (LevelBits(level) << 3) | static_cast<std::uint32_t>(mask & 7);
  return static_cast<std::uint16_t>(((data << 10) | BchCheck(data, kFormatGenerator)) ^
                                    kFormatMask);
}

std::uint32_t VersionBits(int version) {
  const auto data = static_cast<std::uint32_t>(version);
  return (data << 12) | BchCheck(data, kVersionGenerator);
}

BlockLayout LayoutOf(int version, QrLevel level) {
  const int rawCodewords = DataModules(version) / 8;
  const int ecPerBlock =
      kEcPerBlock[static_cast<std::size_t>(LevelIndex(level))][static_cast<std::size_t>(version)];
  const int blocks =
      kBlocks[static_cast<std::size_t>(LevelIndex(level))][static_cast<std::size_t>(version)];
  const int dataCodewords = rawCodewords - ecPerBlock * blocks;
  return {dataCodewords, ecPerBlock, blocks, blocks - dataCodewords % blocks};
}

std::vector<int> AlignmentCentres(int version) {
  std::vector<int> centres;
  for (std::uint8_t centre : kAlignment[static_cast<std::size_t>(version)]) {
    if (centre != 0) centres.push_back(centre);
  }
  return centres;
}

int MaskPenalty(const QrCode& code) {
  const int n = code.size();
  std::vector<std::uint8_t> grid(static_cast<std::size_t>(n * n));
  for (int row = 0; row < n; ++row) {
    for (int column = 0; column < n; ++column) {
      grid[static_cast<std::size_t>(row) * static_cast<std::size_t>(n) +
           static_cast<std::size_t>(column)] = code.Dark(row, column) ? 1 : 0;
    }
  }
  return Penalty(grid.data(), n);
}

}  // namespace qr_detail

std::size_t QrByteCapacity(int version, QrLevel level) {
  const int bits = qr_detail::LayoutOf(version, level).dataCodewords * 8 - 4 - CountBits(version);
  return static_cast<std::size_t>(bits / 8);
}

char QrLevelLetter(QrLevel level) { return "LMQH"[LevelIndex(level)]; }

std::optional<QrLevel> QrLevelFromLetter(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (text[0]) {
    case 'L':
    case 'l':
      return QrLevel::L;
    case 'M':
    case 'm':
      return QrLevel::M;
    case 'Q':
    case 'q':
      return QrLevel::Q;
    case 'H':
    case 'h':
      return QrLevel::H;
    default:
      return std::nullopt;
  }
}

namespace {

// The symbol in the smallest version that holds `bytes`, with `onlyMask`, or else with the
// mask of the least penalty.
std::optional<QrCode> Encode(std::string_view bytes, QrLevel level, std::optional<int> onlyMask) {
  for (int version = kQrMinVersion; version <= kQrMaxVersion; ++version) {
    const qr_detail::BlockLayout layout = qr_detail::LayoutOf(version, level);
    const int neededBits = (NeedsUtf8Designator(bytes) ? kEciBits : 0) + 4 + CountBits(version) +
                           8 * static_cast<int>(bytes.size());
    if (neededBits > layout.dataCodewords * 8) continue;
    Symbol symbol(version);
    symbol.PlaceCodewords(
        InterleavedCodewords(DataCodewords(bytes, version, layout.dataCodewords), layout));
    const std::vector<std::uint8_t> unmasked = symbol.modules();
    int bestMask = 0;
    int bestPenalty = std::numeric_limits<int>::max();
    for (int mask = 0; mask < 8; ++mask) {
      if (onlyMask && mask != *onlyMask) continue;
      symbol.modules() = unmasked;
      symbol.ApplyMask(mask);
      symbol.DrawFormat(level, mask);
      const int penalty = Penalty(symbol.modules().data(), symbol.size());
      if (penalty < bestPenalty) {
        bestPenalty = penalty;
        bestMask = mask;
      }
    }
    symbol.modules() = unmasked;
    symbol.ApplyMask(bestMask);
    symbol.DrawFormat(level, bestMask);
    return QrCode(version, level, bestMask, std::move(symbol.modules()));
  }
  return std::nullopt;
}

}  // namespace

std::optional<QrCode> EncodeQrCode(std::string_view bytes, QrLevel level) {
  return Encode(bytes, level, std::nullopt);
}

std::optional<QrCode> qr_detail::EncodeWithMask(std::string_view bytes, QrLevel level, int mask) {
  return Encode(bytes, level, mask);
}

}  // namespace qc
