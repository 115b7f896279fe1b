#include "cli/report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <vector>

#include "cli/display.h"
#include "cli/result_fields.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/system_text.h"
#include "quento_version.h"

namespace quento::cli {
namespace {

namespace fs = std::filesystem;
using SystemClock = std::chrono::system_clock;
constexpr auto npos = std::string_view::npos;

// The CSV's columns, in order. Those a device's JSON object has take its values under its names;
// the others are the run's.
constexpr std::array<std::string_view, 16> kColumns = {
    "time",    "station", "device", "address",       "attempt",       "outcome",
    "message", "detail",  "bytes",  "blocks",        "write_retries", "read_retries",
    "seconds", "image",   "sha256", "quento_version"};

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

// RFC 4180: a field holding a comma, a quote or a line break is quoted, its quotes doubled. A
// field a spreadsheet would take for a formula (=, +, -, @, or a tab or carriage return before
// one) gets a leading apostrophe and quotes, as OWASP recommends against CSV injection.
std::string CsvField(const std::string& text) {
  const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != npos;
  if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = formula ? "\"'" : "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + '"';
}

// A CSV file's rows are judged from its last 64 KiB at most: hundreds of rows.
constexpr std::size_t kTail = 64 * 1024;

// `length` bytes of the file at `path` from `offset`; false when they are not all there.
bool ReadAt(const fs::path& path, std::uintmax_t offset, std::size_t length, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  out.assign(length, '\0');
  in.read(out.data(), static_cast<std::streamsize>(length));
  return in.gcount() == static_cast<std::streamsize>(length);
}

// How many fields a CSV reader finds in `row`.
std::size_t FieldCount(std::string_view row) {
  std::size_t count = 1;
  bool quoted = false;
  for (const char c : row) {
    if (c == '"') quoted = !quoted;
    count += c == ',' && !quoted ? 1 : 0;
  }
  return count;
}

// The row ends in `text` (just past each line end outside quotes), read as if a quoted field were
// open where it starts or not, and how many of the rows between them have `fields` fields.
struct RowEnds {
  std::vector<std::size_t> at;
  std::size_t whole = 0;
};
RowEnds FindRowEnds(std::string_view text, std::size_t fields, bool quoted) {
  RowEnds ends;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] != '\n' || quoted) continue;
    const std::size_t start = ends.at.empty() ? 0 : ends.at.back();
    ends.whole += FieldCount(text.substr(start, i - start)) == fields ? 1 : 0;
    ends.at.push_back(i + 1);
  }
  return ends;
}

bool Failed(const DeviceResult& result) {
  return result.report.outcome != op::Outcome::kSuccess &&
         result.report.outcome != op::Outcome::kCancelled;
}

// What every record of a run shares.
struct Run {
  std::string name;  // the path as given
  fs::path path;
  nlohmann::ordered_json fields;  // station, image, sha256, quento_version
  SystemClock::time_point start = SystemClock::now();
};

class CsvReport final : public Report {
 public:
  CsvReport(Run run, std::ostream* err) : m_run(std::move(run)), m_err(err) {}

  // Opens the file for appending. A new (or empty) file gets its header, the write that proves
  // the target takes bytes before any device is contacted; an existing one can only be opened
  // for appending and have its last row checked, as no row is ready yet: a full disk shows at the
  // first row. A FIFO is refused before the open, which would wait for a reader.
  bool Open(std::string& error) {
    if (const std::string what = platform::NotAFile(m_run.path, true); !what.empty()) {
      error = "it is " + what;
      return false;
    }
    if (!m_file.Open(m_run.path, error)) return false;
    std::uintmax_t size = 0;
    std::error_code ec;
    if (!m_file.created() && fs::is_regular_file(m_run.path, ec)) {
      size = fs::file_size(m_run.path, ec);
      if (ec) error = platform::SystemMessage(ec);
      if (ec || (size > 0 && !SetCutRowAside(size, error))) return false;
    }
    return size > 0 || m_file.Append(Line({kColumns.begin(), kColumns.end()}), error);
  }

  // Written as each device ends: a run cut short keeps every finished device's row.
  void OnFinish(std::size_t, const DeviceResult& result) override { Row(result); }

  bool Finish(const std::vector<DeviceResult>&, double) override { return m_complete; }

 private:
  // A last row that a full disk, a file-size limit or a crash cut short (no line end, an open
  // quote, half a character, fewer fields than the header) goes to FILE.csv.cut, and the file
  // back to the end of the row before it: the next row appended would join it, and after an open
  // quote every row after it would read as part of that field. `size` is the file's, and then
  // what is left of it.
  bool SetCutRowAside(std::uintmax_t& size, std::string& error) {
    const std::uintmax_t from = size > kTail ? size - kTail : 0;
    std::string tail, head;
    if (!ReadAt(m_run.path, from, static_cast<std::size_t>(size - from), tail) ||
        !ReadAt(m_run.path, 0, std::min<std::size_t>(kTail, tail.size()), head)) {
      error = "it cannot be read";
      return false;
    }
    const std::vector<std::size_t> headerEnd = FindRowEnds(head, 0, false).at;
    const std::size_t fields = headerEnd.empty()
                                   ? kColumns.size()
                                   : FieldCount(std::string_view(head).substr(0, headerEnd[0]));
    // Read from the start, the tail is read as the file is. Starting inside the file, a quoted
    // field may be open there: each quote turns that over, so one of the two readings is right,
    // and it is the one that finds whole rows (ties: a field is seldom open at a random place).
    RowEnds ends = FindRowEnds(tail, fields, false);
    if (from > 0) {
      RowEnds other = FindRowEnds(tail, fields, true);
      if (other.whole > ends.whole) ends = std::move(other);
      if (ends.at.empty()) {
        error = "no line end in its last " + std::to_string(kTail) + " bytes: move it aside";
        return false;
      }
    }
    std::size_t cut = ends.at.empty() ? 0 : ends.at.back();
    if (cut == tail.size()) {
      // It ends with a line end. An older version gave a cut row one, which left it short.
      if (from > 0 && ends.at.size() < 2) return true;  // its start is out of reach
      const std::size_t start = ends.at.size() > 1 ? ends.at[ends.at.size() - 2] : 0;
      const std::string_view last = std::string_view(tail).substr(start);
      if (FieldCount(last) >= fields && platform::ValidUtf8(last) == last) return true;
      cut = start;
    }
    const std::string_view fragment = std::string_view(tail).substr(cut);
    const std::string aside = m_run.name + ".cut";
    platform::AppendFile file;
    const std::string lineEnd = fragment.ends_with('\n') ? "" : "\r\n";  // the next on its own line
    if (!file.Open(platform::PathFromUtf8(aside), error) ||
        !file.Append(std::string(fragment) + lineEnd, error)) {
      error = "its incomplete last row cannot be moved to " + aside + ": " + error;
      return false;
    }
    // Another program's row appended since would go with it.
    std::error_code ec;
    if (fs::file_size(m_run.path, ec) != size && !ec) {
      error = "it changed while its last row was checked; try again";
      return false;
    }
    if (!ec) fs::resize_file(m_run.path, from + cut, ec);
    if (ec) {
      error = "its incomplete last row was copied to " + aside +
              " but cannot be cut off: " + platform::SystemMessage(ec);
      return false;
    }
    size = from + cut;
    Say(m_run.name + ": an incomplete last row (" + std::to_string(fragment.size()) +
        " bytes) was moved to " + aside);
    return true;
  }

  void Row(const DeviceResult& result) {
    nlohmann::ordered_json fields = ResultFields(result);
    fields.update(m_run.fields);
    fields["time"] = UtcTime(SystemClock::now(), "Z");
    fields["detail"] = Explanation(result);
    std::vector<std::string> row;
    for (const std::string_view column : kColumns) row.push_back(Text(fields, column));
    const std::string line = Line(row);
    const std::string lost =
        m_run.name + ": the row of " + Text(fields, "device") + " was not written: ";
    std::string error;
    if (!m_cut.empty() && !TakeOut(error) && !m_cut.empty()) {
      m_complete = false;
      Say(lost + "the row cut short before it cannot be taken out: " + error);
      return;
    }
    // One write for the whole row: a row is never split around another program's.
    std::size_t written = 0;
    if (m_file.Append(line, error, &written)) return;
    m_complete = false;
    std::string what = error;
    if (written > 0) {
      m_cut = line.substr(0, written);
      what += "; the " + std::to_string(written) + " bytes written of it ";
      what += TakeOut(error) ? "were taken out again" : "are still there: " + error;
    }
    Say(lost + what);
  }

  // Takes the start of a row that an append left at the file's end back out before the next row
  // joins it. Only while it is still the end: another program's row after it must stay (then it
  // is given up). False, with `error` set, when it is still there.
  bool TakeOut(std::string& error) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(m_run.path, ec);
    std::string end;
    if (!ec && (size < m_cut.size() ||
                !ReadAt(m_run.path, size - m_cut.size(), m_cut.size(), end) || end != m_cut)) {
      m_cut.clear();
      error = "the file has changed since";
      return false;
    }
    if (!ec) fs::resize_file(m_run.path, size - m_cut.size(), ec);
    if (ec) {
      error = platform::SystemMessage(ec);
      return false;
    }
    m_cut.clear();
    return true;
  }

  void Say(const std::string& text) {
    if (m_err != nullptr) *m_err << "quento-cli: " << text << '\n' << std::flush;
  }

  static std::string Line(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
      if (&field != &fields.front()) line += ',';
      line += CsvField(field);
    }
    return line + "\r\n";
  }

  Run m_run;
  std::ostream* m_err;
  platform::AppendFile m_file;
  std::string m_cut;  // what an append left of a row at the file's end, still to be taken out
  bool m_complete = true;
};

class XmlReport final : public Report {
 public:
  explicit XmlReport(Run run) : m_run(std::move(run)) {
    m_temporary = m_run.path;
    m_temporary += ".part";
  }

  void OnFinish(std::size_t index, const DeviceResult& result) override {
    if (result.again) m_earlier[index] += ResultLine(result) + '\n';
  }

  // The suite is written beside the target and renamed over it when complete. The target from an
  // earlier run goes now: a run that is killed must not leave that one's results as its own.
  bool Open(std::string& error) {
    std::error_code ec;
    if (fs::exists(m_run.path, ec) && !fs::is_regular_file(m_run.path, ec)) {
      error = "is not a regular file";
      return false;
    }
    if (!Write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", error)) return false;
    if (fs::remove(m_run.path, ec); ec) {
      error = platform::SystemMessage(ec);
      return false;
    }
    return true;
  }

  bool Finish(const std::vector<DeviceResult>& results, double seconds) override {
    std::size_t failures = 0;
    std::size_t skipped = 0;
    for (const DeviceResult& result : results) {
      failures += Failed(result) ? 1 : 0;
      skipped += result.report.outcome == op::Outcome::kCancelled ? 1 : 0;
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
    // A test case per device: its last attempt, with the earlier ones as its output.
    for (std::size_t i = 0; i < results.size(); ++i) {
      const DeviceResult& result = results[i];
      const nlohmann::ordered_json fields = ResultFields(result);
      xml += "  <testcase classname=\"" + run("image") + "\" name=\"" +
             XmlText(Text(fields, "device")) + "\" time=\"" + Text(fields, "seconds") + "\"";
      std::string body;
      if (Failed(result)) {
        body = "    <failure message=\"" + XmlText(Text(fields, "message")) + "\">" +
               XmlText(Explanation(result)) + "</failure>\n";
      } else if (result.report.outcome == op::Outcome::kCancelled) {
        body = "    <skipped message=\"" + XmlText(Explanation(result)) + "\"/>\n";
      }
      if (const auto earlier = m_earlier.find(i); earlier != m_earlier.end()) {
        body += "    <system-out>" + XmlText(earlier->second) + "</system-out>\n";
      }
      xml += body.empty() ? "/>\n" : ">\n" + body + "  </testcase>\n";
    }
    xml += "</testsuite>\n";
    std::string error;
    std::error_code ec;
    if (Write(xml, error)) {
      fs::rename(m_temporary, m_run.path, ec);
      if (!ec) return true;
    }
    fs::remove(m_temporary, ec);
    return false;
  }

 private:
  bool Write(const std::string& text, std::string& error) {
    std::ofstream out(m_temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    error = "cannot write " + platform::Utf8FromPath(m_temporary);
    return false;
  }

  Run m_run;
  fs::path m_temporary;
  std::map<std::size_t, std::string> m_earlier;  // a device's attempts before its last
};

}  // namespace

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

std::unique_ptr<Report> Report::Open(const std::string& path, const std::string& firmware,
                                     std::string sha256, const std::string& station,
                                     std::string& error, std::ostream* err) {
  Run run;
  run.name = path;
  run.path = platform::PathFromUtf8(path);
  const std::string extension = Lower(platform::Utf8FromPath(run.path.extension()));
  if (extension != ".csv" && extension != ".xml") {
    error = "report '" + path + "' must be a .csv or .xml file";
    return nullptr;
  }
  run.fields = {{"station", platform::ValidUtf8(station.empty() ? platform::HostName() : station)},
                {"image", platform::ValidUtf8(
                              platform::Utf8FromPath(platform::PathFromUtf8(firmware).filename()))},
                {"sha256", std::move(sha256)},
                {"quento_version", QUENTO_VERSION}};
  std::string why;
  if (extension == ".csv") {
    auto csv = std::make_unique<CsvReport>(std::move(run), err);
    if (csv->Open(why)) return csv;
  } else {
    auto xml = std::make_unique<XmlReport>(std::move(run));
    if (xml->Open(why)) return xml;
  }
  error = "cannot write report '" + path + "': " + why;
  return nullptr;
}

}  // namespace quento::cli
