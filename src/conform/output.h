// What a run shows: a table on the terminal (coloured and with a live line there), a JSON object
// per check, and a JUnit report with a test case per check.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "conform/checks.h"

namespace quento::conform {

// The live line: what the run is doing, redrawn in place at most ten times a second.
class LiveLine {
 public:
  LiveLine(std::ostream& out, int columns) : m_out(out), m_columns(columns) {}
  ~LiveLine() { Clear(); }
  void Show(const std::string& what);
  void Clear();

 private:
  std::ostream& m_out;
  int m_columns;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_last{};
};

// The table: a row per check, its verdict, id and description, then what it found; a failure's
// evidence below it. `colour`: on a terminal.
void WriteTable(std::ostream& out, const std::vector<CheckResult>& results, bool colour);
std::string CheckJson(const CheckResult& result);
// "127.0.0.1:18810: 12 passed, 0 failed, 4 information; 2.14 s at fast pacing"
std::string SummaryLine(const std::string& device, const std::vector<CheckResult>& results,
                        double seconds, std::string_view pace);
// A JUnit test suite with a test case per check, the evidence in the failure.
std::string JunitXml(const std::string& device, const std::vector<CheckResult>& results,
                     double seconds);
bool AnyFailed(const std::vector<CheckResult>& results);

}  // namespace quento::conform
