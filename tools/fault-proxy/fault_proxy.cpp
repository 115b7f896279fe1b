// quento-fault-proxy: relays TCP connections from --listen to --target, damaging the traffic on
// the way. One thread per connection; every fault is per connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quento::faultproxy {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kUsage[] =
    "usage: quento-fault-proxy --listen ADDR:PORT --target ADDR:PORT [faults]\n"
    "  --delay MS            hold every chunk back MS milliseconds\n"
    "  --jitter MS           plus a random 0..MS more (order is kept)\n"
    "  --split N             forward in segments of at most N bytes, --split-gap MS apart (1)\n"
    "  --coalesce MS         gather what arrives within MS into one segment\n"
    "  --stall-after N       after N bytes, forward nothing for --stall MS\n"
    "  --duplicate-every N   send every Nth byte twice\n"
    "  --half-close-after N  after N bytes, shut both write sides and forward nothing more\n"
    "  --reset-after N       after N bytes, reset both connections (SO_LINGER 0)\n"
    "  --direction both|to-device|to-client   which traffic is damaged (both)\n"
    "  --seed S              seed for the jitter\n"
    "Byte counts are per connection, over the damaged directions. Prints 'listening on\n"
    "ADDR:PORT' once ready; stops on SIGINT or SIGTERM.\n";

struct Options {
  sockaddr_in listen{};
  sockaddr_in target{};
  int delay = 0;
  int jitter = 0;
  std::size_t split = 0;
  int splitGap = 1;
  int coalesce = 0;
  std::optional<std::size_t> stallAfter;
  int stall = 0;
  std::size_t duplicateEvery = 0;
  std::optional<std::size_t> halfCloseAfter;
  std::optional<std::size_t> resetAfter;
  bool toDevice = true;
  bool toClient = true;
  unsigned seed = 1;
};

std::optional<long long> Number(std::string_view text, long long max) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<sockaddr_in> Address(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  const std::string host(text.substr(0, colon));
  const auto port = Number(text.substr(colon + 1), 65535);
  if (!port || ::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return std::nullopt;
  sa.sin_port = htons(static_cast<std::uint16_t>(*port));
  return sa;
}

std::string ToString(const sockaddr_in& sa) {
  char host[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
  return std::string(host) + ':' + std::to_string(ntohs(sa.sin_port));
}

bool Parse(int argc, char** argv, Options& o, std::string& error) {
  bool haveListen = false;
  bool haveTarget = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      error.clear();
      return false;
    }
    if (i + 1 >= argc) {
      error = "missing value for " + std::string(name);
      return false;
    }
    const std::string_view value = argv[++i];
    const auto count = [&](auto& field, long long max) {
      const auto n = Number(value, max);
      if (n) field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
      return n.has_value();
    };
    const auto optionalCount = [&](std::optional<std::size_t>& field) {
      const auto n = Number(value, 1LL << 40);
      if (n) field = static_cast<std::size_t>(*n);
      return n.has_value();
    };
    constexpr long long kMaxMs = 10 * 60 * 1000;
    bool ok = true;
    if (name == "--listen") {
      const auto a = Address(value);
      ok = haveListen = a.has_value();
      if (a) o.listen = *a;
    } else if (name == "--target") {
      const auto a = Address(value);
      ok = haveTarget = a.has_value();
      if (a) o.target = *a;
    } else if (name == "--delay") {
      ok = count(o.delay, kMaxMs);
    } else if (name == "--jitter") {
      ok = count(o.jitter, kMaxMs);
    } else if (name == "--split") {
      ok = count(o.split, 1 << 20) && o.split > 0;
    } else if (name == "--split-gap") {
      ok = count(o.splitGap, kMaxMs);
    } else if (name == "--coalesce") {
      ok = count(o.coalesce, kMaxMs);
    } else if (name == "--stall-after") {
      ok = optionalCount(o.stallAfter);
    } else if (name == "--stall") {
      ok = count(o.stall, kMaxMs);
    } else if (name == "--duplicate-every") {
      ok = count(o.duplicateEvery, 1 << 30) && o.duplicateEvery > 0;
    } else if (name == "--half-close-after") {
      ok = optionalCount(o.halfCloseAfter);
    } else if (name == "--reset-after") {
      ok = optionalCount(o.resetAfter);
    } else if (name == "--seed") {
      ok = count(o.seed, 0xFFFFFFFFLL);
    } else if (name == "--direction") {
      o.toDevice = value == "both" || value == "to-device";
      o.toClient = value == "both" || value == "to-client";
      ok = o.toDevice || o.toClient;
    } else {
      error = "unknown option " + std::string(name);
      return false;
    }
    if (!ok) {
      error = "bad value '" + std::string(value) + "' for " + std::string(name);
      return false;
    }
  }
  if (!haveListen || !haveTarget) {
    error = "--listen and --target are required";
    return false;
  }
  return true;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void Reset(int fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// One direction of a connection: what was read from `from`, waiting to go to `to`.
class Lane {
 public:
  // `forwarded` is shared by both lanes of a connection: the byte limits count both ways.
  Lane(const Options& options, int from, int to, bool damaged, unsigned seed,
       std::size_t& forwarded)
      : m_options(options),
        m_from(from),
        m_to(to),
        m_damaged(damaged),
        m_random(seed),
        m_forwarded(forwarded) {}

  int from() const { return m_from; }
  bool open() const { return !m_eof; }
  bool idle() const { return m_queue.empty(); }
  std::optional<Clock::time_point> nextDue() const {
    if (m_queue.empty()) return std::nullopt;
    return m_queue.front().due;
  }

  // Reads what is there. False when the connection must end.
  bool Read(Clock::time_point now) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(m_from, buffer, sizeof buffer, 0);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) {
      m_eof = true;
      return true;
    }
    Enqueue(std::vector<std::uint8_t>(buffer, buffer + n), now);
    return true;
  }

  enum class Flush { kOk, kFailed, kHalfClose, kReset };

  Flush Send(Clock::time_point now) {
    while (!m_queue.empty() && m_queue.front().due <= now) {
      std::vector<std::uint8_t>& bytes = m_queue.front().bytes;
      std::size_t take = bytes.size();
      const std::optional<std::size_t> limit = Limit();
      if (limit && m_forwarded + take >= *limit) take = *limit - m_forwarded;
      if (take > 0 && !SendAll(m_to, bytes.data(), take)) return Flush::kFailed;
      if (m_damaged) m_forwarded += take;
      if (limit && m_forwarded >= *limit) {
        return m_options.resetAfter && m_forwarded >= *m_options.resetAfter ? Flush::kReset
                                                                            : Flush::kHalfClose;
      }
      m_queue.pop_front();
    }
    if (m_eof && m_queue.empty() && !m_shut) {
      ::shutdown(m_to, SHUT_WR);
      m_shut = true;
    }
    return Flush::kOk;
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
    bool gathering = false;
  };

  std::optional<std::size_t> Limit() const {
    if (!m_damaged) return std::nullopt;
    std::optional<std::size_t> limit = m_options.resetAfter;
    if (m_options.halfCloseAfter && (!limit || *m_options.halfCloseAfter < *limit)) {
      limit = m_options.halfCloseAfter;
    }
    return limit;
  }

  void Enqueue(std::vector<std::uint8_t> bytes, Clock::time_point now) {
    if (!m_damaged) {
      Push({now, std::move(bytes)});
      return;
    }
    if (m_options.duplicateEvery > 0) {
      std::vector<std::uint8_t> doubled;
      for (std::uint8_t b : bytes) {
        doubled.push_back(b);
        if (++m_read % m_options.duplicateEvery == 0) doubled.push_back(b);
      }
      bytes = std::move(doubled);
    }
    Clock::time_point due = now + milliseconds(m_options.delay);
    if (m_options.jitter > 0) {
      due += milliseconds(std::uniform_int_distribution<int>(0, m_options.jitter)(m_random));
    }
    // A stall holds back everything from the Nth byte on, once per connection.
    if (m_options.stallAfter && !m_stalled && m_queued + bytes.size() > *m_options.stallAfter) {
      const std::size_t before = *m_options.stallAfter - m_queued;
      if (before > 0) {
        Push({due, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + before)});
        bytes.erase(bytes.begin(), bytes.begin() + before);
        m_queued += before;
      }
      m_stalled = true;
      m_floor = now + milliseconds(m_options.stall);
    }
    m_queued += bytes.size();
    due = std::max(due, m_floor);

    if (m_options.coalesce > 0) {
      if (!m_queue.empty() && m_queue.back().gathering && m_queue.back().due > now) {
        m_queue.back().bytes.insert(m_queue.back().bytes.end(), bytes.begin(), bytes.end());
        return;
      }
      Push({std::max(due, now + milliseconds(m_options.coalesce)), std::move(bytes), true});
      return;
    }
    if (m_options.split > 0) {
      for (std::size_t at = 0; at < bytes.size(); at += m_options.split) {
        const std::size_t end = std::min(bytes.size(), at + m_options.split);
        Push({due, std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + end)});
        due += milliseconds(m_options.splitGap);
      }
      return;
    }
    Push({due, std::move(bytes)});
  }

  // Chunks leave in the order they came, whatever their own delays.
  void Push(Chunk chunk) {
    if (!m_queue.empty()) chunk.due = std::max(chunk.due, m_queue.back().due);
    m_queue.push_back(std::move(chunk));
  }

  const Options& m_options;
  int m_from;
  int m_to;
  bool m_damaged;
  std::mt19937 m_random;
  std::deque<Chunk> m_queue;
  bool m_eof = false;
  bool m_shut = false;
  bool m_stalled = false;
  Clock::time_point m_floor{};
  std::size_t m_read = 0;
  std::size_t m_queued = 0;
  std::size_t& m_forwarded;
};

void Relay(const Options& options, int client, unsigned seed) {
  const int device = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (device < 0 || ::connect(device, reinterpret_cast<const sockaddr*>(&options.target),
                              sizeof options.target) != 0) {
    std::fprintf(stderr, "cannot reach %s: %s\n", ToString(options.target).c_str(),
                 std::strerror(errno));
    if (device >= 0) ::close(device);
    ::close(client);
    return;
  }
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(device, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  std::size_t forwarded = 0;
  Lane up(options, client, device, options.toDevice, seed, forwarded);
  Lane down(options, device, client, options.toClient, seed + 1, forwarded);
  Lane* lanes[2] = {&up, &down};
  bool halfClosed = false;
  bool reset = false;
  for (;;) {
    const Clock::time_point now = Clock::now();
    for (Lane* lane : lanes) {
      if (halfClosed) break;
      const Lane::Flush result = lane->Send(now);
      if (result == Lane::Flush::kFailed) goto done;
      if (result == Lane::Flush::kReset) {
        reset = true;
        goto done;
      }
      if (result == Lane::Flush::kHalfClose) {
        ::shutdown(client, SHUT_WR);
        ::shutdown(device, SHUT_WR);
        halfClosed = true;
      }
    }
    if (!up.open() && !down.open() && up.idle() && down.idle()) break;

    pollfd fds[2];
    nfds_t count = 0;
    for (Lane* lane : lanes) {
      if (lane->open()) fds[count++] = {lane->from(), POLLIN, 0};
    }
    int timeout = -1;
    if (!halfClosed) {
      for (Lane* lane : lanes) {
        if (const auto due = lane->nextDue()) {
          const auto wait = std::chrono::ceil<milliseconds>(*due - Clock::now()).count();
          const int ms = static_cast<int>(std::max<long long>(0, wait));
          timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
      }
    }
    if (count == 0 && timeout < 0) break;
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if (fds[i].revents == 0) continue;
      Lane* lane = fds[i].fd == up.from() ? &up : &down;
      if (halfClosed) {
        std::uint8_t sink[4096];
        if (::recv(fds[i].fd, sink, sizeof sink, 0) <= 0) goto done;
        continue;
      }
      if (!lane->Read(Clock::now())) goto done;
    }
  }
done:
  if (reset) {
    Reset(client);
    Reset(device);
  }
  ::close(client);
  ::close(device);
}

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnSignal(int) { g_stop = 1; }

int Run(int argc, char** argv) {
  // Outlives the relay threads, which are never joined.
  static Options options;
  std::string error;
  if (!Parse(argc, argv, options, error)) {
    if (error.empty()) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "quento-fault-proxy: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = OnSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&options.listen), sizeof options.listen) !=
          0 ||
      ::listen(listener, 64) != 0) {
    std::fprintf(stderr, "quento-fault-proxy: cannot listen on %s: %s\n",
                 ToString(options.listen).c_str(), std::strerror(errno));
    return 1;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
  std::printf("listening on %s\n", ToString(bound).c_str());
  std::fflush(stdout);

  unsigned connections = 0;
  while (g_stop == 0) {
    pollfd p{listener, POLLIN, 0};
    // Signals interrupt the poll; the timeout only covers a signal that lands just before it.
    if (::poll(&p, 1, 200) <= 0) continue;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const unsigned seed = options.seed + 2 * connections++;
    std::thread(Relay, std::cref(options), client, seed).detach();
  }
  ::close(listener);
  return 0;
}

}  // namespace
}  // namespace quento::faultproxy

int main(int argc, char** argv) { return quento::faultproxy::Run(argc, argv); }
