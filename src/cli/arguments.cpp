#include "cli/arguments.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "connection/address.h"
#include "quento_version.h"

namespace quento::cli {
namespace {

constexpr int kMaxRetries = 100;
constexpr double kMaxRetryDelay = 3600;

// A whole decimal number up to `max`: CLI11 alone would also take 0x10 and 1e3.
CLI::Validator WholeNumber(int max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        if (connection::ParseDecimal(text, static_cast<std::uint32_t>(max))) return {};
        return "'" + text + "' is not a whole number from 0 to " + std::to_string(max);
      },
      "0.." + std::to_string(max));
}

// Seconds as digits with an optional fraction, up to `max`: no nan, inf, sign or exponent.
CLI::Validator Seconds(double max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        const std::size_t dot = text.find('.');
        const std::string whole = text.substr(0, dot);
        const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
        const auto digits = [](const std::string& part) {
          return part.find_first_not_of("0123456789") == std::string::npos;
        };
        const bool ok = !(whole.empty() && fraction.empty()) && digits(whole) && digits(fraction) &&
                        whole.size() <= 4 && std::strtod(text.c_str(), nullptr) <= max;
        if (ok) return {};
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", max);
        return "'" + text + "' is not a number of seconds from 0 to " + limit;
      },
      "SECONDS");
}

// Every option, its check and its line of help, each bound to its field of `args`.
void AddOptions(CLI::App& app, Arguments& args) {
  app.add_option("FIRMWARE", args.firmware, "The image file (at most 262,144 bytes)")->required();
  app.add_option("DEVICE", args.devices,
                 "A device (ADDR), a range (FIRST-LAST, e.g. 10.3.0.11-10.3.0.42), a CIDR block "
                 "(NET/PREFIX, e.g. 10.3.0.0/27: its host addresses) or a host name, each with "
                 "an optional :PORT (default 18810)");
  app.add_option("-j,--jobs", args.jobs, "Devices downloaded at once (default: all)")
      ->check(CLI::PositiveNumber);
  app.add_option("--devices-file", args.devicesFile,
                 "More devices, one per line; blank lines and # comments are ignored");
  app.add_option("--pacing", args.pacing,
                 "standard: the loader's fixed pauses; fast: only wait for each reply")
      ->check(CLI::IsMember({"standard", "fast"}));
  app.add_flag("--json", args.json, "One JSON object per attempt on stdout (JSON Lines)");
  app.add_option("--trace", args.trace, "Write every frame sent and reply received to this file");
  app.add_option("--report", args.report,
                 "Record every device's result: FILE.csv gets a row per attempt as it ends "
                 "(appended), FILE.xml the run as a JUnit test suite");
  app.add_option("--station", args.station,
                 "The station's name in the report (default: this computer's host name)");
  app.add_option("--retries", args.retries,
                 "Try a device that failed on its side (connect_failed, send_failed, no_response, "
                 "verify_failed, error) up to N more times (default 0, at most 100)")
      ->check(WholeNumber(kMaxRetries));
  app.add_option("--retry-delay", args.retryDelay,
                 "Seconds before a device is tried again (default 2; fractions allowed, at most "
                 "3600); other devices go on meanwhile")
      ->check(Seconds(kMaxRetryDelay));
  app.add_flag("--dry-run", args.dryRun,
               "List every device the run would contact, names with the address they resolve "
               "to, and any repeat found; contact none");
}

}  // namespace

std::optional<int> ParseArguments(int argc, const char* const* argv, Arguments& args,
                                  std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Downloads a firmware image into devices listening on TCP port 18810: greeting, every "
      "1024-byte block written and read back, completion. Exit status: 0 all succeeded, 1 some "
      "failed, 2 usage or firmware file problem (or too few open files for the devices at once), "
      "130 Ctrl-C, 143 SIGTERM, 129 SIGHUP (every device still recorded; a second request ends "
      "at once).",
      "quento-cli"};
  AddOptions(app, args);
  app.footer(
      "Examples:\n"
      "  quento-cli firmware.bin 10.3.0.13 10.3.0.20-10.3.0.29 10.3.1.0/27\n"
      "  quento-cli --retries 2 --retry-delay 0.5 firmware.bin line3-slot07 line3-slot08:18810\n"
      "  quento-cli -j 64 --devices-file plant.txt --report shift.csv firmware.bin\n"
      "  quento-cli --dry-run --devices-file plant.txt firmware.bin");
  app.set_version_flag("--version", "quento-cli " QUENTO_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? 0 : kExitUsage;
  }
  return std::nullopt;
}

}  // namespace quento::cli
