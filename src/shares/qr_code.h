// QR codes of links: byte mode, versions 1 to 40, the four error correction levels, the
// mask chosen by the penalty rules. The result is a plain matrix of modules, so that each
// front end (the terminal, a PNG file, the Windows window) draws it its own way.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qc {

// How much of the symbol may be damaged and still read: about 7, 15, 25 and 30 %.
enum class QrLevel { L, M, Q, H };

inline constexpr int kQrMinVersion = 1;
inline constexpr int kQrMaxVersion = 40;
// The light margin every reader needs around the symbol, in modules.
inline constexpr int kQrQuietZone = 4;

class QrCode {
 public:
  QrCode(int version, QrLevel level, int mask, std::vector<std::uint8_t> modules);

  int version() const { return version_; }
  QrLevel level() const { return level_; }
  int mask() const { return mask_; }
  // Modules per side: 17 + 4 * version; the quiet zone is not included.
  int size() const { return size_; }
  // True for a dark module; row and column from 0 at the top left.
  bool Dark(int row, int column) const {
    return modules_[static_cast<std::size_t>(row) * static_cast<std::size_t>(size_) +
                    static_cast<std::size_t>(column)] != 0;
  }
  // The same with the quiet zone around it: light outside the symbol.
  bool DarkWithQuietZone(int row, int column) const {
    const int r = row - kQrQuietZone;
    const int c = column - kQrQuietZone;
    return r >= 0 && c >= 0 && r < size_ && c < size_ && Dark(r, c);
  }

 private:
  int version_;
  QrLevel level_;
  int mask_;
  int size_;
  std::vector<std::uint8_t> modules_;
};

// The code of `bytes` (a link: its bytes as they stand, UTF-8 for non-ASCII, which the
// code then declares as such) in the smallest version that holds them at `level`; none
// when even version 40 cannot.
std::optional<QrCode> EncodeQrCode(std::string_view bytes, QrLevel level = QrLevel::M);

// The most bytes a version holds at a level in byte mode (a byte or two fewer for a link with
// 8-bit bytes, whose UTF-8 declaration takes 12 bits).
std::size_t QrByteCapacity(int version, QrLevel level);
// "L", "M", "Q" or "H"; and back (none for anything else, either case accepted).
char QrLevelLetter(QrLevel level);
std::optional<QrLevel> QrLevelFromLetter(std::string_view text);

// The pieces of the standard's construction, exposed so that tests can hold them against
// the standard's own worked examples.
namespace qr_detail {

// Reed-Solomon over GF(256) (polynomial x^8 + x^4 + x^3 + x^2 + 1): the `ecCount` error
// correction codewords of one block of data codewords.
std::vector<std::uint8_t> ReedSolomonRemainder(const std::vector<std::uint8_t>& data, int ecCount);
// The 15 format bits (level and mask with their BCH code, masked with 101010000010010),
// the most significant bit first as the standard writes them.
std::uint16_t FormatBits(QrLevel level, int mask);
// The 18 version bits (version 7 and up) with their BCH code.
std::uint32_t VersionBits(int version);
// The data and error correction codewords of a version at a level, and its blocks.
struct BlockLayout {
  int dataCodewords;  // all blocks together
  int ecPerBlock;
  int blocks;
  int shortBlocks;  // blocks of the smaller data length; the rest hold one more
};
BlockLayout LayoutOf(int version, QrLevel level);
// The centres of the alignment patterns along one axis (none for version 1).
std::vector<int> AlignmentCentres(int version);
// The penalty the standard gives a finished symbol (rules N1 to N4), for the mask choice.
int MaskPenalty(const QrCode& code);
// The symbol EncodeQrCode makes, but with `mask` (0 to 7) whatever its penalty.
std::optional<QrCode> EncodeWithMask(std::string_view bytes, QrLevel level, int mask);

}  // namespace qr_detail

}  // namespace qc
