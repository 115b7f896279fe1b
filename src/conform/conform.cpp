#include "conform/conform.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "cli/arguments.h"
#include "cli/fleet.h"
#include "cli/summary.h"
#include "conform/output.h"
#include "conform/runner.h"
#include "operator/outcome.h"
#include "platform/file.h"
#include "platform/program.h"
#include "protocol/download.h"
#include "quento_version.h"

namespace quento::conform {
namespace {

namespace fs = std::filesystem;
using cli::kExitFailed;
using cli::kExitUsage;

// The generated images: one full block; four full blocks and one of 300 bytes; 256 blocks.
constexpr std::size_t kManyBlocksSize = 4 * image::kBlockSize + 300;

struct Arguments {
  std::string device;
  std::string pacing = "standard";
  std::vector<std::string> only;
  std::vector<std::string> skip;
  std::string image;
  bool json = false;
  std::string report;
  std::string trace;
};

CLI::Validator GroupName() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (IsGroup(text)) return {};
        return "'" + text +
               "' is no group; the groups are connect, greeting, write, read-back, timing, "
               "framing, sessions and info";
      },
      "GROUP");
}

void AddOptions(CLI::App& app, Arguments& args) {
  app.add_option("DEVICE", args.device, "The device's loader: ADDR[:PORT] (port 18810 by default)")
      ->required();
  app.add_option("--pacing", args.pacing,
                 "standard: the tools' pauses (300 ms after each frame, 50 ms after each reply; "
                 "a full run takes about 16 s); fast: frames back to back (about 2 s). The "
                 "256-block image always goes back to back, timing.standard always paced")
      ->check(CLI::IsMember({"standard", "fast"}));
  app.add_option("--only", args.only, "Run only this group (repeatable, or GROUP,GROUP)")
      ->check(GroupName())
      ->delimiter(',');
  app.add_option("--skip", args.skip, "Leave this group out (repeatable, or GROUP,GROUP)")
      ->check(GroupName())
      ->delimiter(',');
  app.add_option("--image", args.image,
                 "Your own image instead of generated data, for the many-block checks (its first "
                 "block for the one-block checks); the 256-block image stays generated");
  app.add_flag("--json", args.json, "One JSON object per check on stdout (JSON Lines)");
  app.add_option("--report", args.report, "Write a JUnit report, FILE.xml: a test case per check");
  app.add_option("--trace", args.trace, "Write every frame sent and reply received to this file");
}

std::optional<int> Parse(int argc, const char* const* argv, Arguments& args, std::ostream& out,
                         std::ostream& err) {
  CLI::App app{
      "Runs a firmware loader listening on TCP (port 18810) through the transfer protocol and "
      "reports, check by check, whether it answers as Quento expects: the greeting echo, the "
      "write acknowledgements, the block-read replies carrying exactly the masked bytes written "
      "(1 block of 1024 bytes; 5 blocks, 4396 bytes; 256 blocks), the time windows, the framing, "
      "a new connection after a dropped one. Groups: connect, greeting, write, read-back, timing, "
      "framing, sessions, info (information only, never a failure). Exit status: 0 every check "
      "passed, 1 one failed, 2 usage error, 130 Ctrl-C.",
      "quento-conform"};
  AddOptions(app, args);
  app.footer(
      "Examples:\n"
      "  quento-conform 10.3.0.13\n"
      "  quento-conform --pacing fast --only write --only read-back 10.3.0.13:18810\n"
      "  quento-conform --json --report conform.xml --trace frames.txt 10.3.0.13");
  app.set_version_flag("--version", "quento-conform " QUENTO_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? 0 : kExitUsage;
  }
  return std::nullopt;
}

image::FirmwareImage Masked(std::vector<std::uint8_t> bytes) {
  image::FirmwareImage image(std::move(bytes));
  image.Mask();
  return image;
}

// Every block different from its neighbours, every byte value present.
std::vector<std::uint8_t> Generated(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i % 251 + i / image::kBlockSize);
  }
  return bytes;
}

// The images; with --image the maker's. Empty `error`: usable.
Images MakeImages(const Arguments& args, std::string& error) {
  Images images{Masked(Generated(image::kBlockSize)), Masked(Generated(kManyBlocksSize)),
                Masked(Generated(image::kMaxImageSize))};
  if (args.image.empty()) return images;
  image::LoadResult own = image::LoadFirmware(platform::PathFromUtf8(args.image));
  if (own.status != image::LoadStatus::kOk) {
    error = std::string(op::MessageFor(protocol::FileCheckOutcome(own.status)));
  } else if (own.image.blockCount() == 0) {
    error = "the image is empty: there is no block to check";
  }
  if (!error.empty()) return images;
  const auto bytes = own.image.bytes();
  images.oneBlock = Masked({bytes.begin(), bytes.begin() + own.image.Block(0).size});
  images.manyBlocks = Masked({bytes.begin(), bytes.end()});
  return images;
}

std::vector<std::string_view> Groups(const Arguments& args) {
  std::vector<std::string_view> groups;
  for (const std::string_view group : kGroups) {
    const bool only = args.only.empty() || std::ranges::find(args.only, group) != args.only.end();
    if (only && std::ranges::find(args.skip, group) == args.skip.end()) groups.push_back(group);
  }
  return groups;
}

fs::path Partial(const std::string& report) {
  fs::path path = platform::PathFromUtf8(report);
  path += ".part";
  return path;
}

// Proves that the report can be written, before the device is contacted.
std::string CheckReport(const std::string& report) {
  if (report.empty()) return {};
  std::string extension = platform::Utf8FromPath(platform::PathFromUtf8(report).extension());
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (extension != ".xml") return "report '" + report + "' must be a .xml file";
  std::ofstream out(Partial(report), std::ios::binary | std::ios::trunc);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  return out.flush() ? "" : "cannot write report '" + report + "'";
}

bool WriteReport(const std::string& report, const std::string& xml) {
  std::error_code ec;
  {
    std::ofstream out(Partial(report), std::ios::binary | std::ios::trunc);
    if (!(out << xml) || !out.flush()) return false;
  }
  fs::rename(Partial(report), platform::PathFromUtf8(report), ec);
  return !ec;
}

// Everything the run needs that the command line names, checked before the device is
// contacted. An empty string: all usable.
std::string Prepare(const Arguments& args, RunOptions& run, std::unique_ptr<cli::TraceLog>& trace) {
  const auto device = connection::ParseDevice(args.device);
  if (!device) return "'" + args.device + "' is not ADDR[:PORT], e.g. 10.3.0.13 or 10.3.0.13:18810";
  run.device = *device;
  run.pace = Pace{args.pacing == "standard"};
  run.groups = Groups(args);
  if (run.groups.empty()) return "--only and --skip leave no group to run";
  std::string error;
  run.images = MakeImages(args, error);
  if (!error.empty()) return args.image + ": " + error;
  if (const std::string refused = CheckReport(args.report); !refused.empty()) return refused;
  error = cli::OpenTrace(args.trace, trace, "quento-conform");
  run.trace = trace.get();
  std::error_code ignored;
  if (!error.empty() && !args.report.empty()) fs::remove(Partial(args.report), ignored);
  return error;
}

}  // namespace

int RunConform(int argc, const char* const* argv, const cli::Environment& env) {
  Arguments args;
  if (const std::optional<int> status = Parse(argc, argv, args, env.out, env.err)) return *status;
  RunOptions run;
  std::unique_ptr<cli::TraceLog> trace;
  if (const std::string refused = Prepare(args, run, trace); !refused.empty()) {
    env.err << "quento-conform: " << refused << '\n';
    return kExitUsage;
  }
  run.connectWait = env.connectWait;
  run.cancel = env.cancel;
  const bool live = env.terminal && !args.json;
  LiveLine line(env.out, env.columns);
  if (live) run.progress = [&line](const std::string& what) { line.Show(what); };

  const auto start = std::chrono::steady_clock::now();
  const std::vector<CheckResult> results = RunChecks(run);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  line.Clear();
  // A stopped run still says what it found; the checks it did not reach say so.
  const bool stopped = env.cancel != nullptr && env.cancel->load();
  const std::string name = run.device.ToString();
  if (args.json) {
    for (const CheckResult& result : results) env.out << CheckJson(result) << '\n';
  } else {
    WriteTable(env.out, results, env.terminal);
  }
  std::string summary = SummaryLine(name, results, seconds, run.pace.name());
  if (stopped) summary += "; " + cli::StopReason(cli::StopStatus(env.stopStatus));
  (args.json ? env.err : env.out) << summary << '\n' << std::flush;
  bool complete = trace == nullptr || trace->error().empty();
  if (!complete) env.err << "quento-conform: cannot write trace file '" << args.trace << "'\n";
  if (!args.report.empty() && !WriteReport(args.report, JunitXml(name, results, seconds))) {
    env.err << "quento-conform: cannot write report '" << args.report << "'\n";
    complete = false;
  }
  if (stopped) return cli::StopStatus(env.stopStatus);
  return AnyFailed(results) || !complete ? kExitFailed : 0;
}

}  // namespace quento::conform
