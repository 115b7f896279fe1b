// Quento.exe end to end: the real program, driven through its window, against quento-device.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>

#include "protocol/texts.h"
#include "window_driver.h"

namespace quento::wine {
namespace {

constexpr int kAddress = 1000, kConnect = 1002, kPath = 1003, kDownload = 1004, kBrowse = 1005,
              kStatus = 1007, kProgress = 1008;
// The file name box of the system's file-open dialog.
constexpr int kFileNameBox = 1152;

std::wstring W(std::string_view utf8) { return Widen(utf8); }

std::wstring UnixToWindows(const std::string& path) {
  std::wstring out = L"Z:" + Widen(path);
  for (auto& c : out) c = c == L'/' ? L'\\' : c;
  return out;
}

std::vector<std::uint8_t> ReadAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "saved N bytes from PEER to PATH" lines of the simulator, oldest first: (N, PATH).
std::vector<std::pair<std::size_t, std::wstring>> SavedImages() {
  std::ifstream in(SuiteConfig::Get().deviceLog.c_str());
  static const std::regex saved(R"(^saved (\d+) bytes from \S+ to (.+)$)");
  std::vector<std::pair<std::size_t, std::wstring>> images;
  std::smatch match;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, match, saved)) {
      images.emplace_back(std::stoul(match[1]), UnixToWindows(match[2]));
    }
  }
  return images;
}

class QuentoWindow : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_app.Start()) << "Quento.exe showed no window"; }

  // Waits for the next message box and checks what every box of the program has in common.
  std::wstring NextMessage() {
    const auto box = m_app.TakeMessageBox();
    if (!box) {
      ADD_FAILURE() << "no message box appeared";
      return {};
    }
    EXPECT_EQ(box->caption, L"Quento");
    EXPECT_TRUE(box->exclamation) << "the box does not show the exclamation icon";
    return box->text;
  }

  // Whether the keyboard focus of the window's thread is on `control` or inside it.
  bool FocusIn(HWND control) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (!::GetGUIThreadInfo(m_app.threadId(), &gui)) return false;
    return gui.hwndFocus == control || ::IsChild(control, gui.hwndFocus);
  }

  void Connect(const std::string& address) {
    m_app.SetAddress(address);
    ASSERT_TRUE(m_app.ClickItem(kConnect));
    ASSERT_EQ(NextMessage(), W(text::kConnected));
    ASSERT_EQ(m_app.ItemText(kConnect), W(text::kDisconnectCaption));
  }

  // A firmware file of `size` bytes in the work folder; returns its path.
  std::wstring WriteFirmware(const std::wstring& name, std::size_t size) {
    const std::wstring path = SuiteConfig::Get().workDir + L"\\" + name;
    std::ofstream out(path.c_str(), std::ios::binary);
    std::uint32_t state = 0x2545F491u ^ static_cast<std::uint32_t>(size);
    for (std::size_t i = 0; i < size; ++i) {
      state = state * 1664525u + 1013904223u;
      out.put(static_cast<char>(state >> 24));
    }
    return path;
  }

  // Presses Browse and answers the file dialog with `names` (several: quoted), or cancels it.
  void Browse(const std::wstring& names, bool cancel = false) {
    ASSERT_TRUE(m_app.ClickItem(kBrowse));
    HWND dialog = m_app.WaitOwnedDialogWith(kFileNameBox);
    ASSERT_NE(dialog, nullptr) << "no file dialog";
    if (cancel) {
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
      HWND box = FindDescendant(dialog, kFileNameBox);
      ::SendMessageTimeoutW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(names.c_str()),
                            SMTO_ABORTIFHUNG, 5000, nullptr);
      ASSERT_TRUE(Click(FindDescendant(dialog, IDOK)));
    }
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(dialog) || !::IsWindowVisible(dialog); }));
  }

  void ExpectDisconnectedAfterDownload() {
    EXPECT_EQ(m_app.ItemText(kStatus), W(text::kReconnect));
    EXPECT_EQ(m_app.ProgressPos(), 0);
    EXPECT_EQ(m_app.ItemText(kConnect), W(text::kConnectCaption));
    EXPECT_TRUE(m_app.ItemEnabled(kConnect));
    EXPECT_TRUE(m_app.ItemEnabled(kBrowse));
    EXPECT_FALSE(m_app.ItemEnabled(kDownload));
  }

  // What the window showed while a download ran, up to its final message box.
  struct DownloadWatch {
    std::set<std::wstring> statuses;
    bool buttonsLocked = false;  // all three disabled at some point
    bool buttonEnabledWhileBusy = false;
    bool hung = false;
    int highestPos = 0;
    int mostPainted = 0;  // pixels of the bar painted as filled, before the final box
    std::wstring finalStatus;
    std::wstring message;
  };

  // The bar's middle row of pixels, as the screen shows it.
  std::vector<std::uint32_t> BarPixels() {
    RECT bar;
    ::GetWindowRect(m_app.Item(kProgress), &bar);
    bar.left += 3;
    bar.right -= 3;
    bar.top = (bar.top + bar.bottom) / 2;
    bar.bottom = bar.top + 1;
    return CaptureScreen(bar);
  }

  // The bar is judged against how it looked when the watch began.
  DownloadWatch WatchDownload() {
    DownloadWatch watch;
    const std::vector<std::uint32_t> emptyBar = BarPixels();
    WaitUntil([&] {
      if (m_app.CurrentMessageBox()) return true;
      const std::wstring status = m_app.ItemText(kStatus);
      watch.statuses.insert(status);
      if (status == W(text::kDownloading)) {
        const bool anyEnabled = m_app.ItemEnabled(kConnect) || m_app.ItemEnabled(kDownload) ||
                                m_app.ItemEnabled(kBrowse);
        watch.buttonsLocked |= !anyEnabled;
        watch.buttonEnabledWhileBusy |= anyEnabled;
        watch.highestPos = std::max(watch.highestPos, m_app.ProgressPos());
        const std::vector<std::uint32_t> bar = BarPixels();
        // The final box repaints the window by itself; only paint seen before it counts.
        if (m_app.ItemText(kStatus) == status && bar.size() == emptyBar.size()) {
          int painted = 0;
          for (std::size_t i = 0; i < bar.size(); ++i) painted += bar[i] != emptyBar[i];
          watch.mostPainted = std::max(watch.mostPainted, painted);
        }
      }
      watch.hung |= ::IsHungAppWindow(m_app.window()) != FALSE;
      return false;
    });
    watch.finalStatus = m_app.ItemText(kStatus);
    watch.message = NextMessage();
    return watch;
  }

  QuentoProcess m_app;
};

TEST_F(QuentoWindow, StartsDisconnected_WithEmptyPathStatusAndBar) {
  EXPECT_EQ(TextOf(m_app.window()), L"Quento");
  EXPECT_EQ(m_app.ItemText(kConnect), W(text::kConnectCaption));
  EXPECT_TRUE(m_app.ItemEnabled(kConnect));
  EXPECT_TRUE(m_app.ItemEnabled(kBrowse));
  EXPECT_FALSE(m_app.ItemEnabled(kDownload));
  EXPECT_EQ(m_app.ItemText(kDownload), L"下载程序");
  EXPECT_EQ(m_app.ItemText(kBrowse), L"浏览");
  EXPECT_EQ(m_app.ItemText(kStatus), W(text::kChooseFile));
  EXPECT_EQ(m_app.ItemText(kPath), L"");
  EXPECT_EQ(m_app.ProgressPos(), 0);

  EXPECT_TRUE(FocusIn(m_app.Item(kAddress))) << "the focus is not in the address control";
}

TEST_F(QuentoWindow, ConnectThenDisconnect_SwitchesButtonsAndReportsBoth) {
  Connect(SuiteConfig::Get().device);
  EXPECT_TRUE(m_app.ItemEnabled(kDownload));
  EXPECT_TRUE(m_app.ItemEnabled(kBrowse));

  ASSERT_TRUE(m_app.ClickItem(kConnect));
  EXPECT_EQ(NextMessage(), W(text::kDisconnected));
  EXPECT_EQ(m_app.ItemText(kConnect), W(text::kConnectCaption));
  EXPECT_FALSE(m_app.ItemEnabled(kDownload));
}

TEST_F(QuentoWindow, ConnectWhereNothingListens_ReportsFailureAndStaysDisconnected) {
  m_app.SetAddress(SuiteConfig::Get().absentDevice);
  ASSERT_TRUE(m_app.ClickItem(kConnect));
  EXPECT_EQ(NextMessage(), W(text::kConnectFailed));
  EXPECT_EQ(m_app.ItemText(kConnect), W(text::kConnectCaption));
  EXPECT_FALSE(m_app.ItemEnabled(kDownload));
}

TEST_F(QuentoWindow, DownloadWithoutFile_ReportsMissingFileAndStaysConnected) {
  Connect(SuiteConfig::Get().device);
  ASSERT_TRUE(m_app.ClickItem(kDownload));
  EXPECT_EQ(NextMessage(), W(text::kFileMissing));
  EXPECT_EQ(m_app.ItemText(kConnect), W(text::kDisconnectCaption));
  EXPECT_TRUE(m_app.ItemEnabled(kDownload));
  EXPECT_EQ(m_app.ItemText(kStatus), W(text::kChooseFile));

  // Still connected: Disconnect has a connection to close.
  ASSERT_TRUE(m_app.ClickItem(kConnect));
  EXPECT_EQ(NextMessage(), W(text::kDisconnected));
}

TEST_F(QuentoWindow, DownloadThroughBrowse_DeviceGetsTheFileAndWindowResets) {
  const std::size_t size = 2600;  // two whole blocks and a short one
  const std::wstring firmware = WriteFirmware(L"firmware.bin", size);
  const std::size_t savedBefore = SavedImages().size();
  Connect(SuiteConfig::Get().device);
  Browse(firmware);
  EXPECT_EQ(m_app.ItemText(kPath), firmware);

  ASSERT_TRUE(m_app.ClickItem(kDownload));
  const DownloadWatch watch = WatchDownload();
  EXPECT_TRUE(watch.statuses.count(W(text::kDownloading))) << "the status line never said so";
  EXPECT_TRUE(watch.buttonsLocked);
  EXPECT_FALSE(watch.buttonEnabledWhileBusy);
  EXPECT_GT(watch.highestPos, 0) << "the bar did not move";
  EXPECT_GT(watch.mostPainted, 0) << "the window did not paint the bar during the download";
  EXPECT_FALSE(watch.hung) << "the window stopped answering the system";
  EXPECT_EQ(watch.finalStatus, W(text::kSuccess));
  EXPECT_EQ(watch.message, W(text::kSuccess));
  EXPECT_EQ(m_app.ProgressUpper(), 6 * 3);  // six steps per block
  ExpectDisconnectedAfterDownload();
  EXPECT_EQ(m_app.ItemText(kPath), firmware);

  std::vector<std::pair<std::size_t, std::wstring>> saved;
  ASSERT_TRUE(WaitUntil([&] { return (saved = SavedImages()).size() > savedBefore; }))
      << "the device saved no image";
  EXPECT_EQ(saved.back().first, size);
  EXPECT_EQ(ReadAll(saved.back().second), ReadAll(firmware));
}

TEST_F(QuentoWindow, ClicksAndKeysDuringDownload_DoNotAct) {
  // Three blocks: the keys must land well before the download's last box.
  const std::wstring firmware = WriteFirmware(L"three-blocks.bin", 3000);
  Connect(SuiteConfig::Get().device);
  Browse(firmware);
  const std::wstring address = m_app.ItemText(kAddress);
  ASSERT_TRUE(m_app.ClickItem(kDownload));
  ASSERT_TRUE(WaitUntil([&] { return m_app.ItemText(kStatus) == W(text::kDownloading); }));
  ::SetForegroundWindow(m_app.window());
  // A click would put the caret into the address and the keys would edit it; Escape would
  // close the window, Enter take the last box away unread.
  MouseClick(m_app.Item(kAddress));
  PressKeys({VK_END, VK_BACK, '9', VK_ESCAPE, VK_RETURN});

  const DownloadWatch watch = WatchDownload();
  EXPECT_EQ(watch.message, W(text::kSuccess));
  EXPECT_TRUE(m_app.Running());
  EXPECT_EQ(m_app.ItemText(kAddress), address);
  ExpectDisconnectedAfterDownload();
}

TEST_F(QuentoWindow, SilentDevice_DownloadFailsWithNoResponseAndWindowResets) {
  const std::wstring firmware = WriteFirmware(L"unanswered.bin", 1500);
  Connect(SuiteConfig::Get().silentDevice);
  Browse(firmware);
  ASSERT_TRUE(m_app.ClickItem(kDownload));
  const DownloadWatch watch = WatchDownload();
  EXPECT_TRUE(watch.statuses.count(W(text::kDownloading)));
  EXPECT_FALSE(watch.hung);
  EXPECT_EQ(watch.finalStatus, W(text::kFailedStatus));
  EXPECT_EQ(watch.message, W(text::kNoResponse));
  ExpectDisconnectedAfterDownload();
}

TEST_F(QuentoWindow, BrowseSeveralFiles_KeepsTheLastAndCancelEmptiesThePath) {
  const std::wstring first = WriteFirmware(L"first.bin", 10);
  const std::wstring last = WriteFirmware(L"last.bin", 20);
  Browse(L"\"" + first + L"\" \"" + last + L"\"");
  EXPECT_EQ(m_app.ItemText(kPath), last);

  Browse(L"", /*cancel=*/true);
  EXPECT_EQ(m_app.ItemText(kPath), L"");
}

TEST_F(QuentoWindow, AboutEntryAtEndOfSystemMenu_OpensAboutBox) {
  ::SetForegroundWindow(m_app.window());
  ::PostMessageW(m_app.window(), WM_SYSCOMMAND, SC_KEYMENU, L' ');
  ASSERT_TRUE(WaitUntil([] {
    HWND menu = ::FindWindowW(L"#32768", nullptr);
    return menu != nullptr && ::IsWindowVisible(menu);
  })) << "the system menu did not open";
  PressKeys({VK_END, VK_RETURN});

  HWND about = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    for (HWND dialog : OwnedDialogs(m_app.window())) {
      if (TextOf(dialog) == L"About Quento") about = dialog;
    }
    return about != nullptr;
  })) << "the last entry of the system menu did not open the About box";
  EXPECT_FALSE(Enabled(m_app.window())) << "the About box is not modal";
  EXPECT_NE(::FindWindowExW(about, nullptr, L"Static", L"Quento, Version 1.0"), nullptr);

  ASSERT_TRUE(Click(::GetDlgItem(about, IDOK)));
  EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(about); }));
  EXPECT_TRUE(WaitUntil([&] { return Enabled(m_app.window()); }));
}

TEST_F(QuentoWindow, EnterInAddressField_EndsTheProgram) {
  ::SetForegroundWindow(m_app.window());
  PressKeys({VK_RETURN});
  EXPECT_TRUE(m_app.WaitExit());
}

}  // namespace
}  // namespace quento::wine
