// The QR code window as the tests see it from outside: found by class, its link text and
// its code read back from the screen's pixels and compared with the encoder's modules.
#pragma once
#include "platform/os_windows.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shares/qr_code.h"

namespace qc::tests {

inline constexpr char kCodeClass[] = "WndClassQuillcastQrCode";
inline constexpr int kCodeLinkId = 2000;
inline constexpr int kCodeCopyId = 2001;

inline HWND VisibleCodeWindow() {
  HWND window = FindWindowA(kCodeClass, nullptr);
  return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

inline std::string CodeWindowLink(HWND window) {
  char buffer[4096] = {};
  GetWindowTextA(GetDlgItem(window, kCodeLinkId), buffer, sizeof buffer);
  return buffer;
}

struct DrawnCode {
  bool found = false;
  int left = 0;
  int top = 0;
  int side = 0;          // pixels, quiet zone included
  int modulePixels = 0;  // 0 unless the side is a whole number of pixels per module
  int wrongModules = 0;  // modules whose pixels are not all of the expected colour
};

// Reads the window's client area above the link text off the screen and finds the white
// square of the code; with `link`, checks every module's pixels against its code.
inline DrawnCode ReadDrawnCode(HWND window, const std::string& link) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT client{};
  GetClientRect(window, &client);
  RECT text{};
  GetWindowRect(GetDlgItem(window, kCodeLinkId), &text);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&text), 2);
  const int width = client.right;
  const int height = text.top;
  DrawnCode drawn;
  if (width <= 0 || height <= 0) return drawn;
  HDC screen = GetDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const auto* pixels = static_cast<const std::uint32_t*>(bits);
  const auto at = [&](int x, int y) { return pixels[y * width + x] & 0xFFFFFF; };
  int minX = width, minY = height, maxX = -1, maxY = -1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (at(x, y) != 0xFFFFFF) continue;
      minX = std::min(minX, x);
      minY = std::min(minY, y);
      maxX = std::max(maxX, x);
      maxY = std::max(maxY, y);
    }
  }
  if (maxX >= 0) {
    drawn.found = true;
    drawn.left = minX;
    drawn.top = minY;
    drawn.side = maxX - minX + 1;
    EXPECT_EQ(maxY - minY + 1, drawn.side) << "the code is not square";
    // The code page's bytes as UTF-8, converted here apart from the window's own code.
    std::wstring wide(link.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, link.data(), static_cast<int>(link.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, nullptr)));
    const std::optional<QrCode> code = EncodeQrCode(utf8);
    if (code && !link.empty()) {
      const int modules = code->size() + 2 * kQrQuietZone;
      if (drawn.side % modules == 0) drawn.modulePixels = drawn.side / modules;
      for (int row = 0; drawn.modulePixels > 0 && row < modules; ++row) {
        for (int column = 0; column < modules; ++column) {
          const std::uint32_t want = code->DarkWithQuietZone(row, column) ? 0x000000 : 0xFFFFFF;
          bool right = true;
          for (int dy = 0; dy < drawn.modulePixels && right; ++dy) {
            for (int dx = 0; dx < drawn.modulePixels && right; ++dx) {
              right = at(minX + column * drawn.modulePixels + dx,
                         minY + row * drawn.modulePixels + dy) == want;
            }
          }
          drawn.wrongModules += right ? 0 : 1;
        }
      }
    }
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(window, screen);
  return drawn;
}

// The window shows `link` as text and as a code that matches it module for module, at a
// whole number of pixels per module.
inline void ExpectCodeOf(HWND window, const std::string& link) {
  EXPECT_EQ(CodeWindowLink(window), link);
  const DrawnCode drawn = ReadDrawnCode(window, link);
  ASSERT_TRUE(drawn.found) << "no code drawn";
  EXPECT_GE(drawn.modulePixels, 2) << "side " << drawn.side;
  EXPECT_EQ(drawn.wrongModules, 0);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, kCodeCopyId)));
}

inline void ExpectNoCode(HWND window) {
  EXPECT_EQ(CodeWindowLink(window), "");
  EXPECT_FALSE(ReadDrawnCode(window, "").found) << "a code is drawn without a link";
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, kCodeCopyId)));
}

}  // namespace qc::tests
