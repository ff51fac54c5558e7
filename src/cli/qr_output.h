// How the native command draws a QR code: as text for a terminal, or as a PNG file. Both
// keep the quiet zone of four light modules around the symbol.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "shares/qr_code.h"

namespace qc::cli {

// Pixels per module of the PNG: a version 1 code is 232 pixels square, a version 40 one
// 1,480, both sharp on a screen and in print.
inline constexpr int kPngPixelsPerModule = 8;

// Two module rows per line with the Unicode half blocks, the dark ones in black on white
// written explicitly on every line, so that a terminal with a dark theme still shows dark
// modules on light (a code drawn inverted is read by few phones).
std::string QrTerminalText(const QrCode& code);

// A grey-scale PNG, one bit per pixel: dark modules black, the rest white.
std::string QrPng(const QrCode& code, int pixelsPerModule = kPngPixelsPerModule);

// The checksums of the PNG format: CRC-32 of each chunk, Adler-32 of the zlib stream.
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0);
std::uint32_t Adler32(std::string_view bytes);

}  // namespace qc::cli
