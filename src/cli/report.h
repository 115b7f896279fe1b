// --report FILE: the record of which image went to which device, from which station. A .csv
// file gets one row per device as it ends, appended to what the file already holds, so one file
// can keep a whole shift; a .xml file gets the run as one JUnit test suite when it ends, for a
// CI server.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/fleet.h"

namespace quento::cli {

// Text for XML content and attribute values. Control characters XML 1.0 cannot carry are left
// out; tab and line breaks are kept as character references.
std::string XmlText(std::string_view text);

class Report : public FleetObserver {
 public:
  // Opens the report at `path` (UTF-8) and proves, as far as it can before any row is ready, that
  // it takes bytes. A CSV file is appended to, which leaves its whole rows untouched: a last row
  // cut short is moved to PATH.cut (said on `err`); an XML file from an earlier run is removed,
  // and the new one appears when the run ends. `firmware` is the image file's path as given,
  // `sha256` its digest, `station` the name the report gives this station (the host name when
  // empty). Returns nullptr with `error` set when the name ends in neither .csv nor .xml (in any
  // case) or the file cannot be written (a directory, a FIFO, a full disk...). A CSV row that
  // cannot be written is said on `err` at once, and what an append left of it is taken out.
  static std::unique_ptr<Report> Open(const std::string& path, const std::string& firmware,
                                      std::string sha256, const std::string& station,
                                      std::string& error, std::ostream* err = nullptr);

  // The run has ended after `seconds`, every device's final record already told: an XML report
  // is written. False when some of the report could not be written.
  virtual bool Finish(const std::vector<DeviceResult>& results, double seconds) = 0;
};

}  // namespace quento::cli
