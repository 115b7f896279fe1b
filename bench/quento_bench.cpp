// Measures quento-cli against quento-device on loopback: standard and fast pacing, one device,
// a fleet, and ten thousand devices at once. Prints one table.
// Usage: quento-bench [--quick] [--runs N] [--bin DIR]
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
#include <string>
#include <thread>
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

// The simulator serving `devices` addresses of the range `listen`; ready once it has listed
// them all. Whatever it says afterwards is read and dropped, so it never blocks on a full pipe.
class Simulator {
 public:
  Simulator(const std::string& exe, const std::string& listen, std::size_t devices) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    m_pid = Spawn({exe, "--listen", listen}, pipeFds[1]);
    close(pipeFds[1]);
    m_out = pipeFds[0];
    std::string buffer;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (m_addresses.size() < devices && Clock::now() < deadline) {
      pollfd pfd{m_out, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      char chunk[65536];
      const ssize_t n = read(m_out, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      std::size_t from = 0;
      for (std::size_t eol; (eol = buffer.find('\n', from)) != std::string::npos; from = eol + 1) {
        if (buffer.compare(from, 13, "listening on ") == 0) {
          m_addresses.push_back(buffer.substr(from + 13, eol - from - 13));
        }
      }
      buffer.erase(0, from);
    }
    m_drain = std::thread([fd = m_out] {
      char sink[4096];
      while (read(fd, sink, sizeof sink) > 0) {
      }
    });
  }
  ~Simulator() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_drain.joinable()) m_drain.join();  // the pipe is at its end once the child is gone
    if (m_out >= 0) close(m_out);
  }
  const std::vector<std::string>& addresses() const { return m_addresses; }

  // User + system seconds the simulator has used so far.
  double CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : stat.substr(end + 2)) {
      if (c == ' ') {
        fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the command name.
    if (fields.size() < 13) return 0;
    return static_cast<double>(std::stoull(fields[11]) + std::stoull(fields[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::vector<std::string> m_addresses;
  std::thread m_drain;
};

struct Measured {
  double wall = 0;
  double cpu = 0;
  long maxRssKb = 0;
  bool ok = true;
};

// Median wall time over `runs` runs; CPU and memory from the median run. A fleet goes in a
// devices file, which has no limit on its length.
Measured Measure(const std::string& cli, const std::string& image, const std::string& pacing,
                 const std::vector<std::string>& devices, int runs, const fs::path& dir) {
  std::vector<std::string> argv = {cli, "--json", "--pacing", pacing, image};
  if (devices.size() > 64) {
    const fs::path list = dir / "devices.txt";
    std::ofstream out(list);
    for (const std::string& d : devices) out << d << '\n';
    argv.insert(argv.end(), {"--devices-file", list.string()});
  } else {
    argv.insert(argv.end(), devices.begin(), devices.end());
  }
  std::vector<Usage> all;
  for (int i = 0; i < runs; ++i) all.push_back(RunMeasured(argv));
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

// The soft open-files limit raised to the hard one (the children inherit it); 0: none.
std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur == RLIM_INFINITY ? 0 : limit.rlim_cur;
}

// "a.b.c.d" for the n-th address (1-based) after 127.4.0.0.
std::string FleetAddress(std::size_t n) {
  return "127.4." + std::to_string(n / 256) + '.' + std::to_string(n % 256);
}

double MiB(long kb) { return static_cast<double>(kb) / 1024.0; }

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
  const std::size_t hugeFleet = quick ? 8 : 10000;
  const std::size_t wideFleet = quick ? 4 : 1024;
  const std::string cli = (bin / "cli" / "quento-cli").string();
  const std::string device = (bin / "device" / "quento-device").string();

  // Each device at once holds a socket in quento-cli and one in quento-device; quento-cli
  // wants 16 more besides, and each process a few for itself.
  const std::uint64_t limit = RaiseOpenFileLimit();
  const auto fits = [limit](std::size_t devices) { return limit == 0 || devices + 64 <= limit; };
  std::printf("open-files limit: %s\n", limit == 0 ? "none" : std::to_string(limit).c_str());

  const fs::path dir = fs::temp_directory_path() / ("quento-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string small = WriteImage(dir, static_cast<std::size_t>(smallBlocks) * 1024);
  const std::string large = WriteImage(dir, largeImage);
  const std::size_t hugeImage = quick ? 1024 : 4096;
  const std::string perDevice = WriteImage(dir, hugeImage);

  Simulator fleet(device, "127.0.0.41-127.0.0." + std::to_string(40 + fleetSize) + ":0",
                  static_cast<std::size_t>(fleetSize));
  const std::size_t served = fits(hugeFleet) ? hugeFleet : fits(wideFleet) ? wideFleet : 0;
  std::unique_ptr<Simulator> many;
  if (served > 0) {
    many = std::make_unique<Simulator>(device, "127.4.0.1-" + FleetAddress(served) + ":0", served);
  }
  if (static_cast<int>(fleet.addresses().size()) != fleetSize ||
      (many && many->addresses().size() != served)) {
    std::fprintf(stderr, "quento-bench: the simulator did not start (%s)\n", device.c_str());
    fs::remove_all(dir);
    return 1;
  }
  const std::vector<std::string> one = {fleet.addresses().front()};
  const std::vector<std::string>& all = fleet.addresses();

  // Every exchange with a reply pauses 300 + 50 ms: one greeting, and a write and a read-back
  // per block.
  const double bound = (1 + 2 * smallBlocks) * 0.350;
  std::printf("measuring (about %d s)...\n", quick ? 10 : runs * 50);
  std::fflush(stdout);
  const Measured m1 = Measure(cli, small, "standard", one, runs, dir);
  const Measured m2 = Measure(cli, small, "standard", all, runs, dir);
  const Measured m3 = Measure(cli, large, "fast", one, runs, dir);
  const Measured m4 = Measure(cli, large, "fast", all, runs, dir);

  std::string row5 = "skipped: the open-files limit " + std::to_string(limit) + " is below the " +
                     std::to_string(hugeFleet + 64) + " that " + std::to_string(hugeFleet) +
                     " devices at once need";
  bool ok = m1.ok && m2.ok && m3.ok && m4.ok;
  if (served == hugeFleet) {
    const auto& addresses = many->addresses();
    const Measured alone = Measure(cli, perDevice, "standard", {addresses.front()}, runs, dir);
    const double simBefore = many->CpuSeconds();
    const Measured m5 = Measure(cli, perDevice, "standard", addresses, runs, dir);
    const double simCpu = (many->CpuSeconds() - simBefore) / runs;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%.3f s wall; one device %.3f s; ratio %.4f; peak RSS %.1f MiB; CPU quento-cli "
                  "%.2f s, quento-device %.2f s",
                  m5.wall, alone.wall, m5.wall / alone.wall, MiB(m5.maxRssKb), m5.cpu, simCpu);
    row5 = text;
    ok = ok && alone.ok && m5.ok;
  }
  std::string row6 = "skipped: the open-files limit " + std::to_string(limit) + " is below the " +
                     std::to_string(wideFleet + 64) + " that " + std::to_string(wideFleet) +
                     " devices at once need";
  if (served >= wideFleet) {
    const std::vector<std::string> wide(many->addresses().begin(),
                                        many->addresses().begin() + static_cast<long>(wideFleet));
    const Measured m6 = Measure(cli, large, "fast", wide, runs, dir);
    char text[200];
    std::snprintf(text, sizeof text, "%.3f s wall; %.2f MiB/s aggregate; peak RSS %.1f MiB",
                  m6.wall,
                  static_cast<double>(wideFleet * largeImage) / (1024.0 * 1024.0) / m6.wall,
                  MiB(m6.maxRssKb));
    row6 = text;
    ok = ok && m6.ok;
  }
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
      fleetSize, smallBlocks, m2.wall, m2.wall / m1.wall, MiB(m2.maxRssKb), m2.cpu);
  std::printf("| 3 | fast, 1 device, %zu bytes | %.3f s; %.2f MiB/s | < 0.5 s |\n", largeImage,
              m3.wall, mib / m3.wall);
  std::printf(
      "| 4 | fast, %d devices, %zu bytes each | %.3f s wall; %.2f MiB/s aggregate; peak RSS %.1f "
      "MiB; CPU %.2f s | - |\n",
      fleetSize, largeImage, m4.wall, fleetSize * mib / m4.wall, MiB(m4.maxRssKb), m4.cpu);
  std::printf(
      "| 5 | standard, %zu devices at once, %zu bytes | %s | ratio <= 1.05 x one device; peak "
      "RSS <= 64 MiB |\n",
      hugeFleet, hugeImage, row5.c_str());
  std::printf("| 6 | fast, %zu devices, %zu bytes each | %s | peak RSS <= 64 MiB |\n", wideFleet,
              largeImage, row6.c_str());
  if (!ok) std::printf("some downloads failed: the figures above are not valid\n");
  return ok ? 0 : 1;
}
