#include <pthread.h>

#include <csignal>

#include "platform/program.h"

namespace quento::platform {
namespace {

std::atomic<bool>* g_stopFlag = nullptr;

extern "C" void OnStopSignal(int) { g_stopFlag->store(true); }

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

void SetOnStopRequest(std::atomic<bool>& flag) {
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
  g_stopFlag = &flag;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
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
