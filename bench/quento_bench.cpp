// Measures quento-cli against quento-device on loopback: standard and fast pacing, one device
// and a fleet. Prints one table. Usage: quento-bench [--quick] [--runs N] [--bin DIR]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Usage {
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds of the child
  long maxRssKb = 0;  // peak resident set of the child
  int status = -1;
};

pid_t Spawn(const std::vector<std::string>& argv, int out, int err = STDERR_FILENO) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (err != STDERR_FILENO) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

Usage RunMeasured(const std::vector<std::string>& argv) {
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  Usage usage;
  const auto start = Clock::now();
  const pid_t pid = Spawn(argv, devnull, devnull);
  close(devnull);
  if (pid < 0) return usage;
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  usage.wall = std::chrono::duration<double>(Clock::now() - start).count();
  usage.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  usage.maxRssKb = ru.ru_maxrss;
  usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return usage;
}

// The simulator, serving `devices` addresses from 127.0.0.41 on, each on a free port.
class Simulator {
 public:
  Simulator(const std::string& exe, int devices) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    const std::string last = "127.0.0." + std::to_string(40 + devices);
    m_pid = Spawn({exe, "--listen", "127.0.0.41-" + last + ":0"}, pipeFds[1]);
    close(pipeFds[1]);
    // Ready once every endpoint is listed.
    std::string buffer;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (static_cast<int>(m_addresses.size()) < devices && Clock::now() < deadline) {
      pollfd pfd{pipeFds[0], POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
        const std::string line = buffer.substr(0, eol);
        buffer.erase(0, eol + 1);
        if (line.rfind("listening on ", 0) == 0) m_addresses.push_back(line.substr(13));
      }
    }
    m_out = pipeFds[0];
  }
  ~Simulator() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
  }
  const std::vector<std::string>& addresses() const { return m_addresses; }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::vector<std::string> m_addresses;
};

struct Measured {
  double wall = 0;
  double cpu = 0;
  long maxRssKb = 0;
  bool ok = true;
};

// Median wall time over `runs` runs; CPU and memory from the median run.
Measured Measure(const std::string& cli, const std::string& image, const std::string& pacing,
                 const std::vector<std::string>& devices, int runs) {
  std::vector<Usage> all;
  for (int i = 0; i < runs; ++i) {
    std::vector<std::string> argv = {cli, "--json", "--pacing", pacing, image};
    argv.insert(argv.end(), devices.begin(), devices.end());
    all.push_back(RunMeasured(argv));
  }
  std::sort(all.begin(), all.end(), [](const Usage& a, const Usage& b) { return a.wall < b.wall; });
  const Usage& median = all[all.size() / 2];
  Measured m{median.wall, median.cpu, median.maxRssKb, true};
  for (const Usage& u : all) m.ok = m.ok && u.status == 0;
  return m;
}

std::string WriteImage(const fs::path& dir, std::size_t size) {
  const fs::path path = dir / ("bench-" + std::to_string(size) + ".bin");
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 131 + 7) % 256));
  return path.string();
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int runs = 3;
  fs::path bin = fs::canonical("/proc/self/exe").parent_path().parent_path() / "src";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--bin") == 0 && i + 1 < argc) {
      bin = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quento-bench [--quick] [--runs N] [--bin BUILD/src]\n");
      return 2;
    }
  }
  // --quick keeps the shape of every row with tiny sizes: a smoke run, not a measurement.
  if (quick) runs = 1;
  const int smallBlocks = quick ? 1 : 16;
  const int fleetSize = quick ? 4 : 64;
  const std::size_t largeImage = quick ? 4 * 1024 : 256 * 1024;
  const std::string cli = (bin / "cli" / "quento-cli").string();
  const std::string device = (bin / "device" / "quento-device").string();

  const fs::path dir = fs::temp_directory_path() / ("quento-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string small = WriteImage(dir, static_cast<std::size_t>(smallBlocks) * 1024);
  const std::string large = WriteImage(dir, largeImage);

  Simulator fleet(device, fleetSize);
  if (static_cast<int>(fleet.addresses().size()) != fleetSize) {
    std::fprintf(stderr, "quento-bench: the simulator did not start (%s)\n", device.c_str());
    fs::remove_all(dir);
    return 1;
  }
  const std::vector<std::string> one = {fleet.addresses().front()};
  const std::vector<std::string>& all = fleet.addresses();

  // Every exchange with a reply pauses 300 + 50 ms: one greeting, and a write and a read-back
  // per block.
  const double bound = (1 + 2 * smallBlocks) * 0.350;
  std::printf("measuring (about %d s)...\n", quick ? 3 : runs * 25);
  std::fflush(stdout);
  const Measured m1 = Measure(cli, small, "standard", one, runs);
  const Measured m2 = Measure(cli, small, "standard", all, runs);
  const Measured m3 = Measure(cli, large, "fast", one, runs);
  const Measured m4 = Measure(cli, large, "fast", all, runs);
  fs::remove_all(dir);

  const double mib = static_cast<double>(largeImage) / (1024.0 * 1024.0);
  std::printf("runs per row: %d (median wall time)%s\n", runs, quick ? ", quick smoke run" : "");
  std::printf("| row | case | measured | goal |\n|---|---|---|---|\n");
  std::printf(
      "| 1 | standard, 1 device, %d blocks | %.3f s; bound %d x 350 ms = %.3f s; ratio %.4f | "
      "ratio <= 1.01 |\n",
      smallBlocks, m1.wall, 1 + 2 * smallBlocks, bound, m1.wall / bound);
  std::printf(
      "| 2 | standard, %d devices, %d blocks | %.3f s wall; %.4f x one device; peak RSS %.1f MiB; "
      "CPU %.2f s | <= 1.05 x one device |\n",
      fleetSize, smallBlocks, m2.wall, m2.wall / m1.wall, m2.maxRssKb / 1024.0, m2.cpu);
  std::printf("| 3 | fast, 1 device, %zu bytes | %.3f s; %.2f MiB/s | < 0.5 s |\n", largeImage,
              m3.wall, mib / m3.wall);
  std::printf(
      "| 4 | fast, %d devices, %zu bytes each | %.3f s wall; %.2f MiB/s aggregate; peak RSS %.1f "
      "MiB; CPU %.2f s | - |\n",
      fleetSize, largeImage, m4.wall, fleetSize * mib / m4.wall, m4.maxRssKb / 1024.0, m4.cpu);
  const bool ok = m1.ok && m2.ok && m3.ok && m4.ok;
  if (!ok) std::printf("some downloads failed: the figures above are not valid\n");
  return ok ? 0 : 1;
}
