// The Wine suite's driver: GoogleTest, or --screenshot FILE.bmp to save the main window as the
// operator first sees it (with an address typed in).
#include <gtest/gtest.h>

#include <cstring>

#include "window_driver.h"

namespace {

int Screenshot(const char* path) {
  using namespace quento::wine;
  QuentoProcess app;
  if (!app.Start()) return 1;
  app.SetAddress("192.168.1.20");
  ::SetForegroundWindow(app.window());
  RECT area;
  ::GetWindowRect(app.window(), &area);
  // Read back only once the texts are on the screen: dark pixels where the status line is.
  RECT status;
  ::GetWindowRect(app.Item(1007), &status);
  const bool painted = WaitUntil([&] {
    int dark = 0;
    for (std::uint32_t pixel : CaptureScreen(status)) {
      dark += ((pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF)) < 3 * 128;
    }
    return dark >= 20;
  });
  std::wstring file = Widen(path);
  if (!file.empty() && file[0] == L'/') file = L"Z:" + file;  // a Unix path, from the build
  return painted && SaveBitmap(file, area) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--screenshot") == 0) return Screenshot(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
