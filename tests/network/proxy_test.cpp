// quento-cli through quento-fault-proxy to a simulated device: however the proxy damages the
// traffic, the download ends, and the device holds exactly the operator's file or the tool says
// one of the outcome texts. Never a success with a wrong image.
#include <gmock/gmock.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "operator/texts.h"
#include "support/child_process.h"
#include "support/simulated_devices.h"
#include "support/temp_dir.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;

struct Damage {
  const char* name;
  const char* proxy;               // the proxy's options
  std::vector<std::size_t> sizes;  // downloaded one after another through the same proxy
  ::testing::Matcher<std::string> lastEnding;  // the outcome of the last download
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class DamagedTraffic : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedTraffic, EndsWithTheExactImageOrAnOutcomeText) {
  TempDir dir;
  const SimulatedDevices device("127.0.0.1:0");
  std::vector<std::string> argv = {QUENTO_FAULT_PROXY_EXE, "--listen", "127.0.0.1:0", "--target",
                                   device.at[0]};
  std::istringstream options(GetParam().proxy);
  for (std::string option; options >> option;) argv.push_back(option);
  ChildProcess proxy(argv);
  const std::string listening = proxy.ReadLine(10s).value_or("");  // ready once it says where
  ASSERT_THAT(listening, ::testing::StartsWith("listening on "));
  std::string outcome;
  for (const std::size_t size : GetParam().sizes) {
    std::string image(size, '\0');
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<char>((i * 131 + size) % 256);
    const std::size_t completed = device.simulator->completed().size();
    ChildProcess cli({QUENTO_CLI_EXE, "--pacing", "fast", "--json",
                      dir.Write("fw.bin", image).string(), listening.substr(13)});
    const auto result =
        nlohmann::json::parse(cli.Finish(60s).value_or(R"({"outcome": "<did not end>"})"));
    outcome = result["outcome"];
    EXPECT_THAT(result.value("message", ""),
                ::testing::AnyOf(op::text::kSuccess, op::text::kNoResponse, op::text::kVerifyFailed,
                                 op::text::kSendFailed, op::text::kConnectFailed));
    EXPECT_EQ(cli.status(), outcome == "success" ? 0 : 1);
    if (outcome == "success") {
      EXPECT_EQ(device.ImagesOnceCompleted(completed + 1)[device.at[0]], image)
          << "not the operator's image";
    }
  }
  EXPECT_THAT(outcome, GetParam().lastEnding);
}

const ::testing::Matcher<std::string> kSuccess = "success";
const ::testing::Matcher<std::string> kCut = ::testing::AnyOf("send_failed", "no_response");
const ::testing::Matcher<std::string> kAny = ::testing::_;

INSTANTIATE_TEST_SUITE_P(
    Proxy, DamagedTraffic,
    ::testing::Values(
        Damage{"DelayedWithJitter", "--delay 2 --jitter 20 --seed 7", {6000}, kSuccess},
        Damage{"SplitIntoSingleBytes", "--split 1 --split-gap 0", {5000}, kSuccess},
        Damage{"Coalesced", "--coalesce 10", {6000}, kSuccess},
        Damage{"StalledShorterThanTheReplyWait", "--stall-after 700 --stall 200", {4000}, kSuccess},
        Damage{"LargestImageJittered", "--delay 0 --jitter 1", {256 * 1024}, kSuccess},
        Damage{"StalledLongerThanTheReplyWait", "--stall-after 2100 --stall 1100", {5000}, kAny},
        Damage{"EveryHundredthByteTwice", "--duplicate-every 100", {5000}, kAny},
        Damage{"HalfClosedMidTransfer", "--half-close-after 3000", {8000}, kCut},
        Damage{"ResetBeforeTheGreetingEcho", "--reset-after 4", {2000}, kCut},
        // The completion frame carries no length: blocks left from a longer download cut off
        // must not end up behind the shorter image that then succeeds.
        Damage{
            "ResetMidTransferThenAShorterImage", "--reset-after 20000", {30000, 5000}, kSuccess}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quento::testing
