// What a window looks like on the screen, read back pixel by pixel: the screenshot tool saves it,
// and the window's tests under Wine check that it was painted.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace quento::screen {

// The screen's pixels in `area` as COLORREFs, row by row.
inline std::vector<COLORREF> ScreenPixels(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  HDC screen = ::GetDC(nullptr);
  HDC copy = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
  ::SelectObject(copy, bitmap);
  ::BitBlt(copy, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels.push_back(::GetPixel(copy, x, y));
  }
  ::DeleteDC(copy);
  ::DeleteObject(bitmap);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

// How many of `window`'s pixels on the screen pass `test`.
template <typename Test>
long PixelsOnScreen(HWND window, Test test) {
  RECT area{};
  ::GetWindowRect(window, &area);
  const std::vector<COLORREF> pixels = ScreenPixels(area);
  return std::count_if(pixels.begin(), pixels.end(), test);
}

}  // namespace quento::screen
