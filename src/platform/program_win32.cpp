#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include "platform/program.h"
#include "platform/utf16.h"

namespace quento::platform {
namespace {

std::atomic<bool>* g_stopFlag = nullptr;
std::atomic<int>* g_stopStatus = nullptr;
std::atomic<HANDLE> g_stopEvent = nullptr;  // while a StopRequestWait lives
std::atomic<ULONGLONG> g_firstRequestAt{0};

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  const int status = key ? kInterruptedStatus : kHungUpStatus;
  if (g_stopFlag != nullptr) {
    if (g_stopFlag->load()) {
      if (::GetTickCount64() - g_firstRequestAt.load() >= static_cast<ULONGLONG>(kSameRequestMs)) {
        ::ExitProcess(static_cast<UINT>(status));
      }
      if (!key) ::Sleep(INFINITE);  // as below: main is ending the program
      return TRUE;
    }
    g_firstRequestAt.store(::GetTickCount64());
    if (g_stopStatus != nullptr) g_stopStatus->store(status);
    g_stopFlag->store(true);
  }
  if (const HANDLE stop = g_stopEvent.load()) ::SetEvent(stop);
  // Windows ends the process as soon as this returns from a close, log-off or shut-down event:
  // wait here while main ends the program with its own exit status (Windows waits 5 s at most).
  if (!key) ::Sleep(INFINITE);
  return TRUE;
}

void TakeConsoleEvents() {
  // A process started in a new process group ignores Ctrl-C until it asks for it again.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Narrow(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void SetOnStopRequest(std::atomic<bool>& flag, std::atomic<int>* status) {
  g_stopFlag = &flag;
  g_stopStatus = status;
  TakeConsoleEvents();
}

struct StopRequestWait::Saved {
  HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

StopRequestWait::StopRequestWait() : m_saved(std::make_unique<Saved>()) {
  g_stopEvent.store(m_saved->stop);
  TakeConsoleEvents();
}

StopRequestWait::~StopRequestWait() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_stopEvent.store(nullptr);
  // Left open: a console event's thread may still be about to set it.
}

void StopRequestWait::Wait() { ::WaitForSingleObject(m_saved->stop, INFINITE); }

}  // namespace quento::platform
