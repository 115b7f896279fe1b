// What quento-cli and quento-device need of the system as programs: their command line, and the
// operator's requests to stop.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace quento::platform {

// The command line as UTF-8. On Windows it is read from the wide command line (main's argv
// there is in the ANSI code page, which has no Chinese on most machines); elsewhere it is argv.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Utf8Arguments as main's argc and argv, for the programs' entry points.
class Arguments {
 public:
  Arguments(int argc, char** argv) : m_text(Utf8Arguments(argc, argv)) {
    for (std::string& text : m_text) m_pointers.push_back(text.data());
    m_pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(m_text.size()); }
  char** argv() { return m_pointers.data(); }

 private:
  std::vector<std::string> m_text;
  std::vector<char*> m_pointers;
};

// The exit statuses a shell gives the requests to stop: Ctrl-C (SIGINT, and on Windows Ctrl-C
// and Ctrl-Break), SIGTERM, and SIGHUP (the terminal or the SSH session went away; on Windows
// the console window closed).
inline constexpr int kInterruptedStatus = 130;
inline constexpr int kTerminatedStatus = 143;
inline constexpr int kHungUpStatus = 129;

// Requests within this long of the first are the same one: `timeout`, for one, passes a signal on
// to its child and to the child's process group, and Wine turns each into a console event.
inline constexpr int kSameRequestMs = 500;

// From now on the first request to stop sets `flag`, and `status` (when given) to its exit
// status, and the program goes on to end by itself. A second request, from kSameRequestMs on,
// ends the process at once with that status: whatever the program still waits for, the operator
// has asked twice. A peer
// that hangs up (SIGPIPE) no longer ends the process either, nor does a write past the file-size
// limit (SIGXFSZ): that write fails as one to a full disk does, and the records say so.
void SetOnStopRequest(std::atomic<bool>& flag, std::atomic<int>* status = nullptr);

// For a program whose main thread waits for nothing but a request to stop (the same requests).
// Make it before any thread starts: on POSIX the signals are blocked for every thread and taken
// by Wait() alone. The destructor restores what was there before.
class StopRequestWait {
 public:
  StopRequestWait();
  ~StopRequestWait();
  StopRequestWait(const StopRequestWait&) = delete;
  StopRequestWait& operator=(const StopRequestWait&) = delete;

  // Returns on the first request (at once when one came since construction).
  void Wait();

 private:
  struct Saved;
  std::unique_ptr<Saved> m_saved;
};

}  // namespace quento::platform
