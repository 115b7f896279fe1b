#include "cli/report.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "cli/result_fields.h"
#include "platform/file.h"
#include "platform/host.h"
#include "quento_version.h"

namespace quento::cli {
namespace {

namespace fs = std::filesystem;
using SystemClock = std::chrono::system_clock;

// The CSV's columns, in order. Those a device's JSON object has take its values under its names;
// the others are the run's.
constexpr std::array<std::string_view, 14> kColumns = {
    "time",   "station",       "device",       "outcome", "message", "detail", "bytes",
    "blocks", "write_retries", "read_retries", "seconds", "image",   "sha256", "quento_version"};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// ISO 8601 in UTC to the second, e.g. 2026-12-07T04:31:05 followed by `zone`.
std::string UtcTime(SystemClock::time_point when, const char* zone) {
  const auto day = std::chrono::floor<std::chrono::days>(when);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{std::chrono::floor<std::chrono::seconds>(when - day)};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d%s", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), zone);
  return text;
}

// A field's text: strings as they are, numbers as JSON writes them, absent fields empty.
std::string Text(const nlohmann::ordered_json& fields, std::string_view name) {
  const auto field = fields.find(std::string(name));
  if (field == fields.end()) return {};
  return field->is_string() ? field->get<std::string>() : field->dump();
}

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + '"';
}

// Text for XML content and attribute values. Control characters XML 1.0 cannot carry are left
// out; tab and line breaks are kept as character references.
std::string XmlText(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

bool Failed(const DeviceResult& result) {
  return result.report.outcome != Outcome::kSuccess && result.report.outcome != Outcome::kCancelled;
}

// What every record of a run shares.
struct Run {
  fs::path path;
  nlohmann::ordered_json fields;  // station, image, sha256, quento_version
  SystemClock::time_point start = SystemClock::now();
};

class CsvReport final : public Report {
 public:
  CsvReport(Run run, std::ofstream out) : m_run(std::move(run)), m_out(std::move(out)) {
    std::error_code ec;
    if (fs::file_size(m_run.path, ec) == 0 || ec) Write({kColumns.begin(), kColumns.end()});
  }

  // Written and flushed as each device ends: a run cut short keeps every finished device's row.
  void OnFinish(std::size_t, const DeviceResult& result) override { Row(result); }

  bool Finish(const std::vector<DeviceResult>& results, double) override {
    for (const DeviceResult& result : results) {
      if (!result.started) Row(result);
    }
    return m_out.good();
  }

 private:
  void Row(const DeviceResult& result) {
    nlohmann::ordered_json fields = ResultFields(result);
    fields.update(m_run.fields);
    fields["time"] = UtcTime(SystemClock::now(), "Z");
    fields["detail"] = Explanation(result);
    std::vector<std::string> row;
    for (const std::string_view column : kColumns) row.push_back(Text(fields, column));
    Write(row);
  }

  void Write(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
      if (&field != &fields.front()) line += ',';
      line += CsvField(field);
    }
    m_out << line << "\r\n" << std::flush;
  }

  Run m_run;
  std::ofstream m_out;
};

class XmlReport final : public Report {
 public:
  explicit XmlReport(Run run) : m_run(std::move(run)) {}

  bool Finish(const std::vector<DeviceResult>& results, double seconds) override {
    std::size_t failures = 0;
    std::size_t skipped = 0;
    for (const DeviceResult& result : results) {
      failures += Failed(result) ? 1 : 0;
      skipped += result.report.outcome == Outcome::kCancelled ? 1 : 0;
    }
    const auto run = [this](std::string_view name) { return XmlText(Text(m_run.fields, name)); };
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", seconds);
    // JUnit's timestamp carries no zone: it is the run's start in UTC, like the CSV's times.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuite name=\"quento\" tests=\"" + std::to_string(results.size()) +
           "\" failures=\"" + std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
           std::to_string(skipped) + "\" time=\"" + time + "\" timestamp=\"" +
           UtcTime(m_run.start, "") + "\" hostname=\"" + run("station") + "\">\n  <properties>\n";
    for (const char* name : {"sha256", "image", "quento_version"}) {
      xml += "    <property name=\"" + std::string(name) + "\" value=\"" + run(name) + "\"/>\n";
    }
    xml += "  </properties>\n";
    for (const DeviceResult& result : results) {
      const nlohmann::ordered_json fields = ResultFields(result);
      xml += "  <testcase classname=\"" + run("image") + "\" name=\"" + XmlText(result.device) +
             "\" time=\"" + Text(fields, "seconds") + "\"";
      if (Failed(result)) {
        xml += ">\n    <failure message=\"" + XmlText(Text(fields, "message")) + "\">" +
               XmlText(Explanation(result)) + "</failure>\n  </testcase>\n";
      } else if (result.report.outcome == Outcome::kCancelled) {
        xml += ">\n    <skipped message=\"interrupted\"/>\n  </testcase>\n";
      } else {
        xml += "/>\n";
      }
    }
    xml += "</testsuite>\n";
    std::ofstream out(m_run.path, std::ios::binary | std::ios::trunc);
    out << xml << std::flush;
    return out.good();
  }

 private:
  Run m_run;
};

}  // namespace

std::unique_ptr<Report> Report::Open(const std::string& path, const std::string& firmware,
                                     std::string sha256, std::string& error) {
  Run run;
  run.path = platform::PathFromUtf8(path);
  const std::string extension = Lower(platform::Utf8FromPath(run.path.extension()));
  if (extension != ".csv" && extension != ".xml") {
    error = "report '" + path + "' must be a .csv or .xml file";
    return nullptr;
  }
  // Appending: a report that is already there stays as it is until the run adds to it.
  std::ofstream out(run.path, std::ios::binary | std::ios::app);
  if (!out) {
    error = "cannot write report '" + path + "'";
    return nullptr;
  }
  run.fields = {{"station", platform::HostName()},
                {"image", platform::Utf8FromPath(platform::PathFromUtf8(firmware).filename())},
                {"sha256", std::move(sha256)},
                {"quento_version", QUENTO_VERSION}};
  if (extension == ".csv") return std::make_unique<CsvReport>(std::move(run), std::move(out));
  return std::make_unique<XmlReport>(std::move(run));
}

}  // namespace quento::cli
