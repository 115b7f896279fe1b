// A device's result as named fields, in order: the one owner of the names and values that both
// --json and --report write.
#pragma once

#include <nlohmann/json.hpp>

#include "cli/fleet.h"

namespace quento::cli {

// device, address (the one dialled), attempt, outcome, message, detail (when the system explained a
// failure), bytes, blocks, write_retries, read_retries, seconds (to 0.01 s), first_difference (when
// the read-back differed).
nlohmann::ordered_json ResultFields(const DeviceResult& result);

// What a result line adds in parentheses and a report records as the detail: where the
// read-back first differed ("block 1, offset 1030"), else the system's words for the failure.
std::string Explanation(const DeviceResult& result);

}  // namespace quento::cli
