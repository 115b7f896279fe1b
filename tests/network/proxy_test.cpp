// quento-cli through quento-fault-proxy to the simulator: whatever the proxy does to the
// traffic, a download either puts the operator's exact file into the device or ends with one of
// the outcome texts, and it always ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "device/simulator.h"
#include "protocol/texts.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::Eq;
using ::testing::StartsWith;

// A download that is still running after this has hung: the slowest legal ending (six greetings
// of one second each, then a few blocks retried six times) takes well under a minute.
constexpr auto kHangLimit = 120s;

const std::set<std::string_view> kOutcomeTexts = {text::kSuccess, text::kNoResponse,
                                                  text::kVerifyFailed, text::kSendFailed,
                                                  text::kConnectFailed};

std::string Pattern(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 17) % 256);
  return data;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Result {
  std::string outcome;  // "success", "no_response", ...
  std::string message;
  std::string detail;  // the system's words for a failure
  int status = -1;
};

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device::SimulatorOptions options;
    options.listen = {"127.0.0.1:0"};
    options.saveDir = dir.path() / "saved";
    simulator = std::make_unique<device::Simulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
  }

  // Starts the proxy in front of `target` (the simulator by default).
  void StartProxy(std::vector<std::string> faults, std::string target = {}) {
    if (target.empty()) target = simulator->endpoints().at(0).ToString();
    std::vector<std::string> argv = {QUENTO_FAULT_PROXY_EXE, "--listen", "127.0.0.1:0", "--target",
                                     target};
    argv.insert(argv.end(), faults.begin(), faults.end());
    proxy = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(proxy->running());
    const auto line = proxy->ReadLine(10s);
    ASSERT_TRUE(line.has_value()) << "the proxy never said where it listens";
    ASSERT_THAT(*line, StartsWith("listening on 127.0.0.1:"));
    proxyAddress = line->substr(std::string("listening on ").size());
  }

  // Downloads `size` bytes through the proxy and checks the ending against the device.
  Result Download(std::size_t size, unsigned seed = 1) {
    firmware = Pattern(size, seed);
    const auto file = dir.Write("fw" + std::to_string(seed) + ".bin", firmware);
    const std::size_t completedBefore = simulator->completed().size();
    ChildProcess cli({QUENTO_CLI_EXE, "--pacing", "fast", "--json", file.string(), proxyAddress});
    const auto out = cli.Finish(kHangLimit);
    Result result;
    if (!out) {
      ADD_FAILURE() << "quento-cli did not end";
      return result;
    }
    result.status = *cli.status();
    const auto object = nlohmann::json::parse(*out, nullptr, false);
    if (object.is_discarded() || !object.contains("outcome")) {
      ADD_FAILURE() << "not one JSON result: " << *out;
      return result;
    }
    result.outcome = object["outcome"];
    result.message = object["message"];
    result.detail = object.value("detail", "");
    EXPECT_TRUE(kOutcomeTexts.contains(result.message)) << result.message;
    if (result.outcome == "send_failed" || result.outcome == "connect_failed") {
      EXPECT_FALSE(result.detail.empty()) << "a failed send or connect without the system's words";
    }
    EXPECT_EQ(result.status, result.outcome == "success" ? 0 : 1);
    if (result.outcome == "success") ExpectDeviceSaved(completedBefore);
    return result;
  }

  // The completion frame is the tool's last word and gets no reply, so the device may still be
  // saving when the tool exits: wait for it, within a bound.
  void ExpectDeviceSaved(std::size_t completedBefore) {
    auto done = simulator->completed();
    for (int i = 0; i < 1000 && done.size() <= completedBefore; ++i) {
      std::this_thread::sleep_for(5ms);
      done = simulator->completed();
    }
    ASSERT_GT(done.size(), completedBefore) << "success, but the device saw no completion";
    const device::CompletedImage& last = done.back();
    EXPECT_TRUE(std::string(last.image.begin(), last.image.end()) == firmware)
        << "success reported, but the device holds a different image";
    ASSERT_FALSE(last.savedTo.empty());
    EXPECT_TRUE(ReadFile(last.savedTo) == firmware) << "saved image differs: " << last.savedTo;
  }

  TempDir dir;
  std::unique_ptr<device::Simulator> simulator;
  std::unique_ptr<ChildProcess> proxy;
  std::string proxyAddress;
  std::string firmware;
};

struct Damage {
  const char* name;
  std::vector<std::string> faults;
  std::size_t size;
  std::string target = {};  // empty: the simulator
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

class DamagedTraffic : public ProxyTest, public ::testing::WithParamInterface<Damage> {};

const auto kRowName = [](const auto& info) { return std::string(info.param.name); };

// Traffic that arrives late, in pieces or lumped together, but whole and in order.
class TrafficReshaped : public DamagedTraffic {};

TEST_P(TrafficReshaped, DownloadSucceedsWithTheOperatorsFile) {
  StartProxy(GetParam().faults, GetParam().target);
  const Result result = Download(GetParam().size);
  EXPECT_EQ(result.outcome, "success") << result.message;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TrafficReshaped,
    ::testing::Values(
        Damage{"DelayWithJitter", {"--delay", "5", "--jitter", "40", "--seed", "7"}, 6000},
        Damage{"SplitIntoSingleBytes", {"--split", "1", "--split-gap", "0"}, 5000},
        Damage{"SplitIntoSevensWithGaps", {"--split", "7", "--split-gap", "1"}, 3000},
        Damage{"RepliesSplitOnly",
               {"--split", "2", "--split-gap", "0", "--direction", "to-client"},
               9000},
        Damage{"Coalesced", {"--coalesce", "30"}, 6000},
        Damage{"StallShorterThanTheReplyWait", {"--stall-after", "700", "--stall", "400"}, 4000},
        Damage{"LargeImageWithJitter", {"--delay", "0", "--jitter", "3"}, 256 * 1024}),
    kRowName);

// Traffic that loses its meaning: the download may fail, but only with an outcome text, and a
// success still means the device holds the operator's file (Download checks both).
class TrafficBroken : public DamagedTraffic {};

TEST_P(TrafficBroken, EndsWithTheOperatorsFileOrAnOutcomeText) {
  StartProxy(GetParam().faults, GetParam().target);
  EXPECT_FALSE(Download(GetParam().size).outcome.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TrafficBroken,
    ::testing::Values(
        Damage{"StallLongerThanTheReplyWait", {"--stall-after", "2100", "--stall", "1500"}, 5000},
        Damage{"EveryHundredthByteTwice", {"--duplicate-every", "100"}, 5000},
        Damage{"RepliesWithARepeatedByte",
               {"--duplicate-every", "1500", "--direction", "to-client"},
               6000},
        Damage{"FramesWithARepeatedByte",
               {"--duplicate-every", "1500", "--direction", "to-device"},
               6000}),
    kRowName);

// Which of the two depends on whether the proxy's side has gone when the next frame is sent.
class ConnectionCut : public DamagedTraffic {};

TEST_P(ConnectionCut, EndsAsSendFailedOrNoResponse) {
  StartProxy(GetParam().faults, GetParam().target);
  const Result result = Download(GetParam().size);
  EXPECT_THAT(result.outcome, AnyOf(Eq("send_failed"), Eq("no_response"))) << result.detail;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConnectionCut,
    ::testing::Values(Damage{"HalfClosedMidTransfer", {"--half-close-after", "3000"}, 8000},
                      Damage{"ResetMidTransfer", {"--reset-after", "3000"}, 8000},
                      Damage{"ResetBeforeTheGreetingEcho", {"--reset-after", "4"}, 2000},
                      // Nobody listens there: the proxy accepts the tool, then hangs up on it.
                      Damage{"DeviceGoneBehindTheProxy", {}, 2000, "127.0.0.1:1"}),
    kRowName);

// The completion frame carries no length, so what the device takes as the image is whatever it
// holds from block 0 on. Blocks left over from a longer download that was cut off must not end up
// behind a shorter image that the tool then reports as a success.
TEST_F(ProxyTest, CutOffLongerDownloadThenShorterOne_DeviceHoldsOnlyTheShorterImage) {
  StartProxy({"--reset-after", "20000"});
  const Result first = Download(30000, 1);
  EXPECT_NE(first.outcome, "success");
  const Result second = Download(5000, 2);  // each connection gets its own byte count
  EXPECT_EQ(second.outcome, "success") << second.message;
}

}  // namespace
}  // namespace quento::testing
