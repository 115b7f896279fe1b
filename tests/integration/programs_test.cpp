// The shipped programs as an operator runs them: real processes, the standard pace, a real
// Ctrl-C.
#include <gmock/gmock.h>

#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quento::testing {
namespace {

constexpr std::chrono::seconds kWait{20};

TEST(Programs, StandardPacedDownloadSaved_ThenCtrlCStopsTheNextWith130) {
  TempDir dir;
  ChildProcess device(
      {QUENTO_DEVICE_EXE, "--listen", "127.0.0.1:0", "--save", dir.path().string()});
  const std::string listening = device.ReadLine(kWait).value_or("");  // ready once it says where
  ASSERT_THAT(listening, ::testing::StartsWith("listening on 127.0.0.1:"));
  const std::string address = listening.substr(std::string("listening on ").size());
  const std::string file = dir.Write("fw.bin", std::string(1000, '\x5a')).string();

  ChildProcess cli({QUENTO_CLI_EXE, file, address});
  EXPECT_THAT(cli.Finish(kWait).value_or("<still running>"),
              ::testing::StartsWith(address + ": 下载成功！\n"));
  EXPECT_EQ(cli.status(), 0);
  const std::string saved = device.ReadLine(kWait).value_or(" to <nothing saved>");
  std::ifstream in(saved.substr(saved.rfind(" to ") + 4), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), dir.Read("fw.bin")) << saved;

  ChildProcess interrupted(
      {QUENTO_CLI_EXE, "--trace", (dir.path() / "trace").string(), file, address});
  for (int i = 0; i < 2000 && dir.Read("trace").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // until the first frame is out
  }
  interrupted.Signal(SIGINT);
  EXPECT_THAT(interrupted.Finish(kWait).value_or(""), ::testing::HasSubstr(", 1 interrupted"));
  EXPECT_EQ(interrupted.status(), 130);
}

// The program learns the open-files limit itself: more devices at once than it allows are refused
// before any is contacted (none listens here: a contact would end with exit status 1).
TEST(Programs, FleetBeyondTheOpenFilesLimit_RefusedWithExit2) {
  TempDir dir;
  std::string command = "ulimit -n 64 && exec " + std::string(QUENTO_CLI_EXE) + ' ' +
                        dir.Write("fw.bin", "x").string();
  for (int i = 1; i <= 100; ++i) command += " 127.0.9." + std::to_string(i) + ":1";
  ChildProcess cli({"/bin/sh", "-c", command});
  ASSERT_TRUE(cli.Finish(kWait).has_value());
  EXPECT_EQ(cli.status(), 2);
}

}  // namespace
}  // namespace quento::testing
