#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <ctime>

#include "platform/program.h"

namespace quento::platform {
namespace {

std::atomic<bool>* g_stopFlag = nullptr;
std::atomic<int>* g_stopStatus = nullptr;

int StatusOf(int signal) {
  switch (signal) {
    case SIGTERM:
      return kTerminatedStatus;
    case SIGHUP:
      return kHungUpStatus;
    default:
      return kInterruptedStatus;
  }
}

std::atomic<std::int64_t> g_firstRequestAt{0};  // ms on the monotonic clock

std::int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Only async-signal-safe work here: atomics, clock_gettime and _exit.
extern "C" void OnStopSignal(int signal) {
  const int status = StatusOf(signal);
  if (g_stopFlag->load()) {
    if (NowMs() - g_firstRequestAt.load() >= kSameRequestMs) _exit(status);
    return;
  }
  g_firstRequestAt.store(NowMs());
  // The status first: whoever sees the flag raised may read it at once.
  if (g_stopStatus != nullptr) g_stopStatus->store(status);
  g_stopFlag->store(true);
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void SetOnStopRequest(std::atomic<bool>& flag, std::atomic<int>* status) {
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
  static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
  g_stopFlag = &flag;
  g_stopStatus = status;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // One request at a time: the second must see the first's flag.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

struct StopRequestWait::Saved {
  sigset_t stopSignals;
  sigset_t mask;
  struct sigaction interrupt {};
  struct sigaction terminate {};
};

StopRequestWait::StopRequestWait() : m_saved(std::make_unique<Saved>()) {
  std::signal(SIGPIPE, SIG_IGN);
  sigemptyset(&m_saved->stopSignals);
  sigaddset(&m_saved->stopSignals, SIGINT);
  sigaddset(&m_saved->stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &m_saved->stopSignals, &m_saved->mask);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
  // sigwait: take the default action back (it cannot run while the signals are blocked).
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigaction(SIGINT, &byDefault, &m_saved->interrupt);
  sigaction(SIGTERM, &byDefault, &m_saved->terminate);
}

StopRequestWait::~StopRequestWait() {
  sigaction(SIGINT, &m_saved->interrupt, nullptr);
  sigaction(SIGTERM, &m_saved->terminate, nullptr);
  pthread_sigmask(SIG_SETMASK, &m_saved->mask, nullptr);
}

void StopRequestWait::Wait() {
  int signal = 0;
  while (sigwait(&m_saved->stopSignals, &signal) != 0) {
  }
}

}  // namespace quento::platform
