#include "cli/display.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "cli/result_fields.h"

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
  LinesDisplay(std::ostream& out, bool json, std::string sha256)
      : m_out(out), m_json(json), m_sha256(std::move(sha256)) {}
  void OnFinish(std::size_t, const DeviceResult& result) override {
    m_out << (m_json ? ResultJson(result, m_sha256) : ResultLine(result)) << '\n' << std::flush;
  }

 private:
  std::ostream& m_out;
  bool m_json;
  std::string m_sha256;
};

// One line per download in flight, as many as the terminal has room for, and a total line,
// redrawn in place on every tick. Finished devices' result lines scroll up above them.
class TerminalDisplay final : public Display {
 public:
  TerminalDisplay(std::ostream& out, std::size_t devices, int rows, int columns)
      : m_out(out),
        m_devices(devices),
        m_rows(static_cast<std::size_t>(std::max(rows, 1))),
        m_columns(static_cast<std::size_t>(std::max(columns, 20))) {}
  ~TerminalDisplay() override { Finish(); }

  void OnStart(std::size_t index, const DeviceResult& attempt) override {
    const std::string device = attempt.attempt > 1
                                   ? attempt.device + " #" + std::to_string(attempt.attempt)
                                   : attempt.device;
    m_live[index] = Live{device, "connecting", 0, 0, 0, Clock::now()};
    m_waiting.erase(index);
  }
  void OnProgress(std::size_t index, op::Phase phase, int done, int total) override {
    Live& live = m_live[index];
    live.total = total;
    switch (phase) {
      case op::Phase::kGreeting:
        live.phase = "greeting";
        break;
      case op::Phase::kWriting:
        live.phase = "writing";
        live.written = done;
        break;
      case op::Phase::kVerifying:
        live.phase = "verifying";
        live.verified = done;
        break;
      case op::Phase::kCompleting:
        live.phase = "completing";
        break;
    }
  }
  // Thousands of devices may end within one tick: their lines wait for the next redraw rather
  // than each redrawing the whole view.
  void OnFinish(std::size_t index, const DeviceResult& result) override {
    m_live.erase(index);
    if (result.again) {
      m_waiting.insert(index);
    } else {
      m_waiting.erase(index);
      ++m_finished;
    }
    if (result.report.outcome == op::Outcome::kSuccess) ++m_succeeded;
    m_pending += ResultLine(result) + '\n';
  }
  void OnTick() override {
    if (m_closed) return;
    Clear();
    m_out << m_pending;
    m_pending.clear();
    Draw();
    m_out << std::flush;
  }
  void Finish() override {
    if (m_closed) return;
    m_closed = true;
    Clear();
    m_out << m_pending << std::flush;
    m_pending.clear();
  }

 private:
  struct Live {
    std::string device;
    std::string phase;
    int total = 0;
    int written = 0;
    int verified = 0;
    Clock::time_point start;
  };

  void Clear() {
    for (std::size_t i = 0; i < m_drawn; ++i) m_out << "\x1b[1A\x1b[2K";
    m_drawn = 0;
  }

  // A line as wide as the terminal would wrap on some terminals, and the cursor would then
  // come back one line short.
  void Line(std::string text) {
    if (text.size() >= m_columns) text.resize(m_columns - 1);
    m_out << text << '\n';
    ++m_drawn;
  }

  std::string DeviceLine(const Live& live) const {
    const int work = 2 * live.total;
    const int done = live.written + live.verified;
    const double fraction = work > 0 ? static_cast<double>(done) / work : 0.0;
    const double elapsed = std::chrono::duration<double>(Clock::now() - live.start).count();
    constexpr int kWidth = 24;
    const int filled = static_cast<int>(std::lround(fraction * kWidth));
    const std::string bar =
        "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
    const std::string left = fraction > 0.02 ? Seconds(elapsed / fraction - elapsed) + " left" : "";
    const int blocksDone = live.phase == "verifying" ? live.verified : live.written;
    return live.device + ' ' + bar + ' ' + live.phase + ' ' + std::to_string(blocksDone) + '/' +
           std::to_string(live.total) + " blocks " + Seconds(elapsed) + ' ' + left;
  }

  void Draw() {
    // At most one line fewer than the terminal has rows: the cursor stands on the row after the
    // last line, and a full screen would scroll the first one out of reach of the next redraw.
    const std::size_t room = m_rows - 1;
    if (room == 0) return;
    // The total line always, and when not every device fits, one line saying how many do not.
    const bool allFit = m_live.size() + 1 <= room;
    const std::size_t shown = allFit ? m_live.size() : (room >= 2 ? room - 2 : 0);
    auto live = m_live.begin();
    for (std::size_t i = 0; i < shown; ++i, ++live) Line(DeviceLine(live->second));
    if (!allFit && room >= 2) {
      Line("… and " + std::to_string(m_live.size() - shown) + " more in flight");
    }
    Line("total: " + std::to_string(m_finished) + '/' + std::to_string(m_devices) + " done, " +
         std::to_string(m_succeeded) + " succeeded, " + std::to_string(m_live.size()) +
         " in flight" +
         (m_waiting.empty() ? "" : ", " + std::to_string(m_waiting.size()) + " waiting to retry"));
  }

  std::ostream& m_out;
  std::size_t m_devices;
  std::size_t m_rows;
  std::size_t m_columns;
  std::map<std::size_t, Live> m_live;
  std::set<std::size_t> m_waiting;  // failed, and to be tried again after the delay
  std::string m_pending;
  std::size_t m_finished = 0;
  std::size_t m_succeeded = 0;
  std::size_t m_drawn = 0;
  bool m_closed = false;
};

}  // namespace

std::string ResultLine(const DeviceResult& result) {
  // A name says which address it stood for; a device tried more than once, which try this was.
  std::string device = result.device;
  if (!result.address.empty() && result.address != result.device) {
    device += " (" + result.address + ")";
  }
  if (result.attempt > 1 || result.again) {
    device += " [attempt " + std::to_string(result.attempt) + (result.again ? ", again]" : "]");
  }
  const std::string why = Explanation(result);
  if (result.report.outcome == op::Outcome::kCancelled) {
    return device + ": " + (why.empty() ? "interrupted" : why);
  }
  return device + ": " + std::string(op::MessageFor(result.report.outcome)) +
         (why.empty() ? "" : " (" + why + ")");
}

std::string ResultJson(const DeviceResult& result, std::string_view sha256) {
  nlohmann::ordered_json object = ResultFields(result);
  if (!sha256.empty()) object["sha256"] = sha256;
  return object.dump();
}

std::unique_ptr<Display> MakeDisplay(DisplayMode mode, std::ostream& out, std::size_t devices,
                                     int rows, int columns, std::string sha256) {
  if (mode == DisplayMode::kTerminal) {
    return std::make_unique<TerminalDisplay>(out, devices, rows, columns);
  }
  return std::make_unique<LinesDisplay>(out, mode == DisplayMode::kJson, std::move(sha256));
}

}  // namespace quento::cli
