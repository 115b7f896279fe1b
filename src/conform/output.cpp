#include "conform/output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/report.h"

namespace quento::conform {
namespace {

constexpr int kIdWidth = 22;

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return upper;
}

const char* Colour(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass:
      return "\x1b[32m";
    case Verdict::kFail:
      return "\x1b[1;31m";
    case Verdict::kInfo:
      return "\x1b[36m";
  }
  return "";
}

std::string Seconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms / 1000);
  return text;
}

std::size_t Count(const std::vector<CheckResult>& results, Verdict verdict) {
  return static_cast<std::size_t>(std::ranges::count(results, verdict, &CheckResult::verdict));
}

}  // namespace

void LiveLine::Show(const std::string& what) {
  const auto now = std::chrono::steady_clock::now();
  if (m_drawn && now - m_last < std::chrono::milliseconds(100)) return;
  m_last = now;
  Clear();
  std::string line = "checking " + what;
  // A line as wide as the terminal would wrap, and the next redraw would miss a line.
  if (line.size() >= static_cast<std::size_t>(std::max(m_columns, 20))) {
    line.resize(static_cast<std::size_t>(std::max(m_columns, 20)) - 1);
  }
  m_out << line << '\n' << std::flush;
  m_drawn = true;
}

void LiveLine::Clear() {
  if (!m_drawn) return;
  m_out << "\x1b[1A\x1b[2K" << std::flush;
  m_drawn = false;
}

void WriteTable(std::ostream& out, const std::vector<CheckResult>& results, bool colour) {
  const std::string indent(6 + kIdWidth + 1, ' ');
  for (const CheckResult& result : results) {
    const std::string verdict = Upper(VerdictName(result.verdict));
    std::string id(result.check->id);
    id.resize(std::max<std::size_t>(id.size(), kIdWidth), ' ');
    out << (colour ? Colour(result.verdict) : "") << verdict << (colour ? "\x1b[0m" : "") << "  "
        << id << ' ' << result.check->description << '\n'
        << indent << result.summary << '\n';
    if (result.verdict != Verdict::kFail) continue;
    for (const std::string& line : result.evidence) out << indent << "  " << line << '\n';
  }
  out << std::flush;
}

std::string CheckJson(const CheckResult& result) {
  nlohmann::ordered_json object = {{"id", result.check->id},
                                   {"group", result.check->group},
                                   {"verdict", VerdictName(result.verdict)},
                                   {"description", result.check->description},
                                   {"summary", result.summary}};
  if (!result.evidence.empty()) object["evidence"] = result.evidence;
  object["ms"] = std::round(result.ms * 10) / 10;
  return object.dump();
}

std::string SummaryLine(const std::string& device, const std::vector<CheckResult>& results,
                        double seconds, std::string_view pace) {
  char time[32];
  std::snprintf(time, sizeof time, "%.2f s", seconds);
  return device + ": " + std::to_string(Count(results, Verdict::kPass)) + " passed, " +
         std::to_string(Count(results, Verdict::kFail)) + " failed, " +
         std::to_string(Count(results, Verdict::kInfo)) + " information; " + time + " at " +
         std::string(pace) + " pacing";
}

std::string JunitXml(const std::string& device, const std::vector<CheckResult>& results,
                     double seconds) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuite name=\"quento-conform " + cli::XmlText(device) + "\" tests=\"" +
         std::to_string(results.size()) + "\" failures=\"" +
         std::to_string(Count(results, Verdict::kFail)) + "\" errors=\"0\" skipped=\"0\" time=\"" +
         Seconds(seconds * 1000) + "\">\n";
  double previous = 0;
  for (const CheckResult& result : results) {
    xml += "  <testcase classname=\"" + std::string(result.check->group) + "\" name=\"" +
           std::string(result.check->id) + "\" time=\"" +
           Seconds(std::max(0.0, result.ms - previous)) + "\">\n";
    previous = std::max(previous, result.ms);
    std::string evidence;
    for (const std::string& line : result.evidence) evidence += line + '\n';
    if (result.verdict == Verdict::kFail) {
      xml += "    <failure message=\"" + cli::XmlText(result.summary) + "\">" +
             cli::XmlText(evidence) + "</failure>\n";
    } else {
      xml += "    <system-out>" + cli::XmlText(result.summary) + "</system-out>\n";
    }
    xml += "  </testcase>\n";
  }
  return xml + "</testsuite>\n";
}

bool AnyFailed(const std::vector<CheckResult>& results) {
  return Count(results, Verdict::kFail) > 0;
}

}  // namespace quento::conform
