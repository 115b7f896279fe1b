#include "cli/display.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace quento::cli {
namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1fs", s);
  return text;
}

class LinesDisplay final : public Display {
 public:
  LinesDisplay(std::ostream& out, bool json) : m_out(out), m_json(json) {}
  void OnFinish(std::size_t, const DeviceResult& result) override {
    std::lock_guard lock(m_mutex);
    m_out << (m_json ? ResultJson(result) : ResultLine(result)) << '\n' << std::flush;
  }

 private:
  std::mutex m_mutex;
  std::ostream& m_out;
  bool m_json;
};

// One line per download in flight and a total line, redrawn in place; finished devices scroll
// up above them as result lines.
class TerminalDisplay final : public Display {
 public:
  TerminalDisplay(std::ostream& out, std::size_t devices)
      : m_out(out), m_devices(devices), m_thread([this] { Loop(); }) {}
  ~TerminalDisplay() override { Finish(); }

  void OnStart(std::size_t index, const std::string& device) override {
    std::lock_guard lock(m_mutex);
    m_live[index] = Live{device, "connecting", 0, 0, Clock::now()};
  }
  void OnProgress(std::size_t index, protocol::Phase phase, int done, int total) override {
    std::lock_guard lock(m_mutex);
    Live& live = m_live[index];
    live.total = total;
    switch (phase) {
      case protocol::Phase::kGreeting:
        live.phase = "greeting";
        break;
      case protocol::Phase::kWriting:
        live.phase = "writing";
        live.written = done;
        break;
      case protocol::Phase::kVerifying:
        live.phase = "verifying";
        live.verified = done;
        break;
      case protocol::Phase::kCompleting:
        live.phase = "completing";
        break;
    }
  }
  void OnFinish(std::size_t index, const DeviceResult& result) override {
    std::lock_guard lock(m_mutex);
    m_live.erase(index);
    ++m_finished;
    if (result.report.outcome == Outcome::kSuccess) ++m_succeeded;
    Clear();
    m_out << ResultLine(result) << '\n';
    Draw();
  }
  void Finish() override {
    {
      std::lock_guard lock(m_mutex);
      if (m_stop) return;
      m_stop = true;
      m_wake.notify_all();
    }
    m_thread.join();
    std::lock_guard lock(m_mutex);
    Clear();
    m_out << std::flush;
  }

 private:
  struct Live {
    std::string device;
    std::string phase;
    int total = 0;
    int written = 0;
    Clock::time_point start;
    int verified = 0;
  };

  void Loop() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
      Clear();
      Draw();
      m_wake.wait_for(lock, std::chrono::milliseconds(200));
    }
  }

  void Clear() {
    for (int i = 0; i < m_drawn; ++i) m_out << "\x1b[1A\x1b[2K";
    m_drawn = 0;
  }

  void Draw() {
    for (const auto& [index, live] : m_live) {
      const int work = 2 * live.total;
      const int done = live.written + live.verified;
      const double fraction = work > 0 ? static_cast<double>(done) / work : 0.0;
      const double elapsed = std::chrono::duration<double>(Clock::now() - live.start).count();
      constexpr int kWidth = 24;
      const int filled = static_cast<int>(std::lround(fraction * kWidth));
      std::string bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
      std::string left = fraction > 0.02 ? Seconds(elapsed / fraction - elapsed) + " left" : "";
      const int blocksDone = live.phase == "verifying" ? live.verified : live.written;
      m_out << live.device << ' ' << bar << ' ' << live.phase << ' ' << blocksDone << '/'
            << live.total << " blocks " << Seconds(elapsed) << ' ' << left << '\n';
      ++m_drawn;
    }
    m_out << "total: " << m_finished << '/' << m_devices << " done, " << m_succeeded
          << " succeeded, " << m_live.size() << " in flight\n"
          << std::flush;
    ++m_drawn;
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::ostream& m_out;
  std::size_t m_devices;
  std::map<std::size_t, Live> m_live;
  std::size_t m_finished = 0;
  std::size_t m_succeeded = 0;
  int m_drawn = 0;
  bool m_stop = false;
  std::thread m_thread;  // last: starts once everything above is built
};

}  // namespace

std::string ResultLine(const DeviceResult& result) {
  if (result.report.outcome == Outcome::kCancelled) return result.device + ": interrupted";
  std::string line = result.device + ": " + std::string(MessageFor(result.report.outcome));
  if (result.report.first_difference) {
    const std::size_t offset = *result.report.first_difference;
    line += " (block " + std::to_string(offset / 1024) + ", offset " + std::to_string(offset) + ")";
  }
  return line;
}

std::string ResultJson(const DeviceResult& result) {
  const protocol::DownloadReport& report = result.report;
  nlohmann::ordered_json object = {
      {"device", result.device},
      {"outcome", NameOf(report.outcome)},
      {"message", MessageFor(report.outcome)},
      {"bytes", report.bytes},
      {"blocks", report.blocks},
      {"write_retries", report.write_retries},
      {"read_retries", report.read_retries},
      {"seconds", std::round(result.seconds * 100) / 100},
  };
  if (report.first_difference) object["first_difference"] = *report.first_difference;
  return object.dump();
}

std::unique_ptr<Display> MakeDisplay(DisplayMode mode, std::ostream& out, std::size_t devices) {
  if (mode == DisplayMode::kTerminal) return std::make_unique<TerminalDisplay>(out, devices);
  return std::make_unique<LinesDisplay>(out, mode == DisplayMode::kJson);
}

}  // namespace quento::cli
