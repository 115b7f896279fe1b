// Quento.exe end to end: the real program under Wine, worked from this process through its
// window, against quento-device on loopback; run_wine_suite.sh sets the stage.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <process.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "operator/texts.h"
#include "platform/utf16.h"
#include "screen_pixels.h"
#include "support/wait_until.h"

namespace quento::wine {
namespace {

using namespace std::chrono_literals;

using screen::PixelsOnScreen;
using screen::ScreenPixels;
using testing::WaitUntil;

// The window's thread may sit in a 1 s receive: wait well beyond that. -1 when it never answers.
LRESULT Ask(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
  DWORD_PTR result = 0;
  const bool answered =
      ::SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 5000, &result);
  return answered ? static_cast<LRESULT>(result) : -1;
}

std::wstring TextOf(HWND window) {
  std::wstring text(std::max<LRESULT>(Ask(window, WM_GETTEXTLENGTH), 0) + 1, L'\0');
  const LRESULT got = Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::max<LRESULT>(got, 0));
  return text;
}

// A posted BM_CLICK runs a disabled button's handler under Wine: a click the operator could not
// make would prove nothing, so it is refused here.
bool Click(HWND button) {
  return ::IsWindowEnabled(button) && ::PostMessageW(button, BM_CLICK, 0, 0);
}

// A visible dialog owned by `owner` that `match` accepts.
template <typename Match>
HWND OwnedDialog(HWND owner, Match match) {
  for (HWND w = nullptr; (w = ::FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr;) {
    if (::IsWindowVisible(w) && ::GetWindow(w, GW_OWNER) == owner && match(w)) return w;
  }
  return nullptr;
}

// Keys pressed and released, in order, to whatever window has the focus.
void PressKeys(std::initializer_list<BYTE> keys) {
  for (BYTE key : keys) {
    ::keybd_event(key, 0, 0, 0);
    ::keybd_event(key, 0, KEYEVENTF_KEYUP, 0);
  }
}

constexpr int kAddress = 1000, kConnect = 1002, kPath = 1003, kDownload = 1004, kBrowse = 1005,
              kStatus = 1007, kProgress = 1008;
constexpr int kFileNameBox = 1152;                 // in the system's file-open dialog
constexpr int kBoxText = 0xFFFF, kBoxIcon = 1088;  // in a message box

std::wstring W(std::string_view utf8) { return platform::Widen(utf8); }

// run_wine_suite.sh hands over Unix paths; Wine shows them on drive Z:.
std::wstring FromSuite(const char* variable) {
  const char* unix = std::getenv(variable);
  std::wstring path = L"Z:" + W(unix ? unix : "");
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The window in one line: Connect's caption, + or - for Connect, Download and Browse being
// enabled, the status line and the bar's position.
std::wstring Showing(std::string_view caption, const wchar_t* enabled, std::string_view status) {
  return W(caption) + L' ' + enabled + L" | " + W(status) + L" | 0";
}

// Each test starts Quento.exe afresh once the last one has ended: its window is then the only
// one of its class and caption.
class QuentoWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring exe = FromSuite("QUENTO_EXE");
    const intptr_t process = ::_wspawnl(_P_NOWAIT, exe.c_str(), exe.c_str(), nullptr);
    ASSERT_NE(process, -1) << "Quento.exe did not start";
    m_process = reinterpret_cast<HANDLE>(process);
    ASSERT_TRUE(WaitUntil([&] {
      return ::IsWindowVisible(m_window = ::FindWindowW(L"#32770", L"Quento"));
    })) << "Quento.exe showed no window";
  }
  void TearDown() override {
    ::TerminateProcess(m_process, 1);
    ::WaitForSingleObject(m_process, 10000);
    ::CloseHandle(m_process);
  }

  bool Running() const { return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
  HWND Item(int id) const { return ::GetDlgItem(m_window, id); }
  std::wstring Text(int id) const { return TextOf(Item(id)); }
  void SetAddress(const std::string& dotted) const {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    Ask(Item(kAddress), IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
  }
  wchar_t Sign(int id) const { return ::IsWindowEnabled(Item(id)) ? L'+' : L'-'; }
  std::wstring Buttons() const { return {Sign(kConnect), Sign(kDownload), Sign(kBrowse)}; }
  int Bar(UINT message = PBM_GETPOS) const {
    return static_cast<int>(Ask(Item(kProgress), message));
  }
  std::wstring Now() const {
    return Text(kConnect) + L' ' + Buttons() + L" | " + Text(kStatus) + L" | " +
           std::to_wstring(Bar());
  }

  HWND MessageBoxShown() const {
    return OwnedDialog(m_window, [](HWND box) { return ::GetDlgItem(box, kBoxText) != nullptr; });
  }

  // Waits for the next message box, checks what all of the program's boxes share (its name as
  // the caption, the exclamation icon: yellow on screen), answers OK and returns the text.
  std::wstring NextMessage() {
    HWND box = nullptr;
    EXPECT_TRUE(WaitUntil([&] { return (box = MessageBoxShown()) != nullptr; })) << "no box";
    EXPECT_EQ(TextOf(box), L"Quento");
    EXPECT_TRUE(WaitUntil(
        [&] {
          return PixelsOnScreen(::GetDlgItem(box, kBoxIcon), [](COLORREF p) {
                   return GetRValue(p) >= 200 && GetGValue(p) >= 160 && GetBValue(p) <= 100;
                 }) >= 20;
        },
        5s))
        << "the box does not show the exclamation icon";
    const std::wstring text = TextOf(::GetDlgItem(box, kBoxText));
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(WaitUntil([&] { return !::IsWindowVisible(box); }));
    return text;
  }

  void Press(int id) { ASSERT_TRUE(Click(Item(id))) << "button " << id << " is disabled"; }

  void Connect(const char* device) {
    SetAddress(std::getenv(device));
    Press(kConnect);
    ASSERT_EQ(NextMessage(), W(op::text::kConnected));
    ASSERT_EQ(Now(), Showing(op::text::kDisconnectCaption, L"+++", op::text::kChooseFile));
  }

  // Types `names` (several: each quoted) into Browse's file dialog and presses `button`.
  void Browse(const std::wstring& names, int button = IDOK) {
    Press(kBrowse);
    HWND dialog = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
      return dialog = OwnedDialog(m_window, [](HWND d) { return ::GetDlgItem(d, kFileNameBox); });
    })) << "no file dialog";
    Ask(::GetDlgItem(dialog, kFileNameBox), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(names.c_str()));
    ASSERT_TRUE(Click(::GetDlgItem(dialog, button)));
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindowVisible(dialog); }));
  }

  // A firmware file of `size` bytes in the run folder, its bytes different for every size.
  static std::wstring WriteFirmware(const wchar_t* name, std::size_t size) {
    const std::wstring path = FromSuite("QUENTO_RUN") + L'\\' + name;
    std::string bytes(size, '\0');
    auto state = static_cast<std::uint32_t>(0x2545F491u ^ size);
    for (char& b : bytes) b = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
    std::ofstream(path.c_str(), std::ios::binary) << bytes;
    return path;
  }

  HANDLE m_process = nullptr;
  HWND m_window = nullptr;
};

TEST_F(QuentoWindow, StartsDisconnectedFocusOnAddress_ConnectWhereNothingListensFails) {
  EXPECT_EQ(TextOf(m_window), L"Quento");
  EXPECT_EQ(Now(), Showing(op::text::kConnectCaption, L"+-+", op::text::kChooseFile));
  EXPECT_EQ(Text(kDownload) + L'|' + Text(kBrowse) + L'|' + Text(kPath), L"下载程序|浏览|");
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  ASSERT_TRUE(::GetGUIThreadInfo(::GetWindowThreadProcessId(m_window, nullptr), &gui));
  EXPECT_TRUE(gui.hwndFocus == Item(kAddress) || ::IsChild(Item(kAddress), gui.hwndFocus));
  SetAddress(std::getenv("QUENTO_ABSENT_DEVICE"));
  Press(kConnect);
  EXPECT_EQ(NextMessage(), W(op::text::kConnectFailed));
  EXPECT_EQ(Now(), Showing(op::text::kConnectCaption, L"+-+", op::text::kChooseFile));
}

// Connect() checks the connected window.
TEST_F(QuentoWindow, ConnectDownloadWithoutFileDisconnect_EachReportedStillConnectedInBetween) {
  Connect("QUENTO_DEVICE");
  Press(kDownload);
  EXPECT_EQ(NextMessage(), W(op::text::kFileMissing));
  EXPECT_EQ(Now(), Showing(op::text::kDisconnectCaption, L"+++", op::text::kChooseFile));
  Press(kConnect);
  EXPECT_EQ(NextMessage(), W(op::text::kDisconnected));
  EXPECT_EQ(Now(), Showing(op::text::kConnectCaption, L"+-+", op::text::kChooseFile));
}

struct DownloadCase {
  const char* name;
  const char* device;
  std::size_t size;
  bool meddle;  // click into the address and type, Escape and Enter included, meanwhile
  std::string_view message;
};

class QuentoDownload : public QuentoWindow, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(QuentoDownload, ThroughBrowse_RunsUntouchableThenResetsTheWindow) {
  const DownloadCase& c = GetParam();
  const bool success = c.message == op::text::kSuccess;
  const std::wstring firmware = WriteFirmware(L"firmware.bin", c.size);
  Connect(c.device);
  Browse(firmware);
  ASSERT_EQ(Text(kPath), firmware);
  const std::wstring address = Text(kAddress);
  RECT bar{};
  ::GetWindowRect(Item(kProgress), &bar);
  bar = {bar.left + 3, (bar.top + bar.bottom) / 2, bar.right - 3, (bar.top + bar.bottom) / 2 + 1};
  const auto emptyBar = ScreenPixels(bar);
  Press(kDownload);
  if (c.meddle) {
    ASSERT_TRUE(WaitUntil([&] { return Text(kStatus) == W(op::text::kDownloading); }));
    // A real click near the address's left edge, halfway down.
    RECT address{};
    ::GetWindowRect(Item(kAddress), &address);
    ::SetForegroundWindow(m_window);
    ::SetCursorPos(address.left + 6, (address.top + address.bottom) / 2);
    ::mouse_event(MOUSEEVENTF_LEFTDOWN, 0, 0, 0, 0);
    ::mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
    PressKeys({VK_END, VK_BACK, '9', VK_ESCAPE, VK_RETURN});
  }

  std::set<std::wstring> buttonsWhileDownloading;
  int highest = 0;
  bool painted = false, hung = false;
  WaitUntil([&] {
    if (MessageBoxShown()) return true;
    hung |= ::IsHungAppWindow(m_window) != FALSE;
    if (Text(kStatus) != W(op::text::kDownloading)) return false;
    buttonsWhileDownloading.insert(Buttons());
    highest = std::max(highest, Bar());
    // The final box repaints the window itself: only paint seen while still downloading counts.
    painted |= ScreenPixels(bar) != emptyBar && Text(kStatus) == W(op::text::kDownloading);
    return false;
  });
  EXPECT_EQ(buttonsWhileDownloading, std::set<std::wstring>{L"---"});
  EXPECT_FALSE(hung) << "the window stopped answering the system";
  EXPECT_EQ(Text(kStatus), W(success ? op::text::kSuccess : op::text::kFailedStatus));
  EXPECT_EQ(NextMessage(), W(c.message));
  EXPECT_EQ(Now(), Showing(op::text::kConnectCaption, L"+-+", op::text::kReconnect));
  EXPECT_TRUE(Running());
  EXPECT_EQ(Text(kAddress), address);
  EXPECT_EQ(Text(kPath), firmware);
  if (success) {
    EXPECT_GT(highest, 0) << "the bar did not move";
    EXPECT_TRUE(painted) << "the bar was not repainted on screen during the download";
    EXPECT_EQ(Bar(PBM_GETRANGE), 6 * static_cast<int>((c.size + 1023) / 1024));
    const auto run = std::filesystem::path(FromSuite("QUENTO_RUN"));
    EXPECT_TRUE(WaitUntil([&] {
      for (const auto& saved : std::filesystem::directory_iterator(run / "saved")) {
        if (Slurp(saved.path()) == Slurp(firmware)) return true;
      }
      return false;
    })) << "the device saved no exact copy of the file";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, QuentoDownload,
    ::testing::Values(DownloadCase{"HealthyDevice_SavesTheFile", "QUENTO_DEVICE", 2600, false,
                                   op::text::kSuccess},
                      DownloadCase{"ClicksAndKeysMeanwhile_ChangeNothing", "QUENTO_DEVICE", 3000,
                                   true, op::text::kSuccess},
                      DownloadCase{"SilentDevice_NoResponse", "QUENTO_SILENT_DEVICE", 1500, false,
                                   op::text::kNoResponse}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuentoWindow, BrowseSeveralFiles_KeepsTheLastAndCancelEmptiesThePath) {
  const std::wstring first = WriteFirmware(L"first.bin", 10);
  const std::wstring last = WriteFirmware(L"last.bin", 20);
  Browse(L'"' + first + L"\" \"" + last + L'"');
  EXPECT_EQ(Text(kPath), last);
  Browse(L"", IDCANCEL);
  EXPECT_EQ(Text(kPath), L"");
}

TEST_F(QuentoWindow, AboutEntryAtTheEndOfTheSystemMenu_OpensTheModalAboutBox) {
  ::SetForegroundWindow(m_window);
  ::PostMessageW(m_window, WM_SYSCOMMAND, SC_KEYMENU, L' ');
  ASSERT_TRUE(WaitUntil([] { return ::IsWindowVisible(::FindWindowW(L"#32768", nullptr)); }))
      << "the system menu did not open";
  PressKeys({VK_END, VK_RETURN});
  HWND about = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    return (about = OwnedDialog(m_window, [](HWND d) { return TextOf(d) == L"About Quento"; }));
  })) << "the last entry did not open the About box";
  EXPECT_FALSE(::IsWindowEnabled(m_window)) << "the About box is not modal";
  EXPECT_NE(::FindWindowExW(about, nullptr, L"Static", L"Quento, Version 1.0"), nullptr);
  ASSERT_TRUE(Click(::GetDlgItem(about, IDOK)));
  EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(about) && ::IsWindowEnabled(m_window); }));
}

TEST_F(QuentoWindow, EnterInTheAddressField_EndsTheProgram) {
  ::SetForegroundWindow(m_window);
  PressKeys({VK_RETURN});
  EXPECT_TRUE(WaitUntil([&] { return !Running(); }));
}

}  // namespace
}  // namespace quento::wine
