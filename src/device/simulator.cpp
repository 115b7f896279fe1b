// The TCP side of the simulator: one listener per device address, one thread per connection,
// an eventfd that wakes every poll when Stop() is called.
#include "device/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "device/device_state.h"
#include "device/frame_parser.h"
#include "device/listen_address.h"

namespace quento::device {
namespace {

constexpr int kBacklog = 128;
constexpr std::size_t kReceiveChunk = 4096;

std::string ErrnoText(int code) { return std::strerror(code); }

sockaddr_in SocketAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

std::string PeerName(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return "?";
  return Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)}.ToString();
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Sends everything; false when the peer is gone or the socket was shut down.
bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

struct Simulator::Impl {
  struct Listener {
    int fd = -1;
    std::shared_ptr<DeviceState> device;
  };
  struct Connection {
    int fd = -1;  // guarded by connectionsMutex once the thread runs
    std::string peer;
    std::shared_ptr<DeviceState> device;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  explicit Impl(SimulatorOptions o) : options(std::move(o)) {}

  void Log(const std::string& line) {
    if (!options.log) return;
    std::lock_guard lock(logMutex);
    options.log(line);
  }

  // True when Stop() was called, at once or within `timeout`.
  bool WaitStop(std::chrono::milliseconds timeout) {
    pollfd p{stopFd, POLLIN, 0};
    for (;;) {
      const int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
      if (r < 0 && errno == EINTR) continue;  // a shortened wait is harmless here
      return r != 0;
    }
  }

  bool Start(std::string* error);
  void Stop();
  void AcceptLoop();
  void Accept(const Listener& listener);
  void Serve(Connection& connection);
  bool SendReply(Connection& connection, std::span<const std::uint8_t> reply);
  void RecordCompletion(const Connection& connection, std::vector<std::uint8_t> image);
  std::filesystem::path Save(const Endpoint& device, const std::vector<std::uint8_t>& image,
                             std::string* error);

  SimulatorOptions options;
  std::mutex lifecycleMutex;
  bool started = false;
  bool stopped = false;
  int stopFd = -1;
  std::vector<Listener> listeners;
  std::thread acceptThread;

  std::mutex connectionsMutex;
  std::list<Connection> connections;

  mutable std::mutex completedMutex;
  std::vector<CompletedImage> completed;
  unsigned saveCounter = 0;

  std::atomic<std::size_t> frames{0};
  std::mutex logMutex;
};

bool Simulator::Impl::Start(std::string* error) {
  const auto fail = [&](std::string message) {
    for (auto& l : listeners) CloseFd(l.fd);
    listeners.clear();
    CloseFd(stopFd);
    if (error != nullptr) *error = std::move(message);
    return false;
  };
  std::lock_guard lock(lifecycleMutex);
  if (started) return fail("the simulator was already started");

  std::vector<Endpoint> wanted;
  for (const auto& text : options.listen) {
    std::string why;
    if (!ParseListen(text, wanted, &why)) return fail(why);
  }
  if (wanted.empty()) return fail("no address to listen on");

  stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) return fail("eventfd: " + ErrnoText(errno));

  for (const Endpoint& endpoint : wanted) {
    Listener listener;
    listener.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener.fd < 0) return fail("socket: " + ErrnoText(errno));
    listeners.push_back(listener);
    const int one = 1;
    ::setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = SocketAddress(endpoint.address, endpoint.port);
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      return fail("cannot bind " + endpoint.ToString() + ": " + ErrnoText(errno));
    }
    if (::listen(listener.fd, kBacklog) != 0) {
      return fail("cannot listen on " + endpoint.ToString() + ": " + ErrnoText(errno));
    }
    socklen_t len = sizeof sa;
    ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&sa), &len);
    const Endpoint bound{endpoint.address, ntohs(sa.sin_port)};
    const auto byAddress = options.faultsByAddress.find(endpoint.address);
    const FaultPlan& plan =
        byAddress != options.faultsByAddress.end() ? byAddress->second : options.faults;
    listeners.back().device = std::make_shared<DeviceState>(bound, plan);
  }

  started = true;
  for (const auto& l : listeners) Log("listening on " + l.device->endpoint().ToString());
  acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

void Simulator::Impl::Stop() {
  std::lock_guard lock(lifecycleMutex);
  if (!started || stopped) return;
  stopped = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t w = ::write(stopFd, &one, sizeof one);
  if (acceptThread.joinable()) acceptThread.join();
  for (auto& l : listeners) CloseFd(l.fd);
  {
    // Unblocks a send stuck on a peer that does not read.
    std::lock_guard connectionsLock(connectionsMutex);
    for (auto& c : connections) {
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
    }
  }
  for (auto& c : connections) {
    if (c.thread.joinable()) c.thread.join();
  }
  connections.clear();
  CloseFd(stopFd);
}

void Simulator::Impl::AcceptLoop() {
  std::vector<pollfd> fds;
  fds.push_back({stopFd, POLLIN, 0});
  for (const auto& l : listeners) fds.push_back({l.fd, POLLIN, 0});
  for (;;) {
    const int r = ::poll(fds.data(), fds.size(), -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      Log("poll: " + ErrnoText(errno));
      return;
    }
    if (fds[0].revents != 0) return;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) Accept(listeners[i - 1]);
    }
  }
}

void Simulator::Impl::Accept(const Listener& listener) {
  for (;;) {
    const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        Log("cannot accept on " + listener.device->endpoint().ToString() + ": " + ErrnoText(errno));
        WaitStop(std::chrono::milliseconds(50));  // let connections close before trying again
      }
      return;  // EAGAIN: nothing more pending
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::lock_guard lock(connectionsMutex);
    // Reap the threads of connections that ended.
    for (auto it = connections.begin(); it != connections.end();) {
      if (it->done.load()) {
        it->thread.join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
    Connection& c = connections.emplace_back();
    c.fd = fd;
    c.peer = PeerName(fd);
    c.device = listener.device;
    c.thread = std::thread([this, &c] { Serve(c); });
  }
}

bool Simulator::Impl::SendReply(Connection& c, std::span<const std::uint8_t> reply) {
  const DeviceState& device = *c.device;
  if (device.delay().count() > 0 && WaitStop(device.delay())) return false;
  if (device.splitGap() && reply.size() > 1) {
    const std::size_t first = reply.size() / 2;
    if (!SendAll(c.fd, reply.first(first))) return false;
    if (WaitStop(*device.splitGap())) return false;
    return SendAll(c.fd, reply.subspan(first));
  }
  return SendAll(c.fd, reply);
}

void Simulator::Impl::Serve(Connection& c) {
  DeviceState& device = *c.device;
  const std::string name = device.endpoint().ToString();
  if (!device.OnConnect()) {
    Log("closed connection from " + c.peer + " to " + name + " (close-after fault)");
  } else {
    FrameParser parser;
    std::vector<Frame> pending;
    const FrameParser::Sink sink = [&pending](Frame&& f) { pending.push_back(std::move(f)); };
    std::array<std::uint8_t, kReceiveChunk> buffer{};
    bool open = true;
    while (open) {
      pollfd fds[2] = {{c.fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      const ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      pending.clear();
      parser.Feed(std::span(buffer).first(static_cast<std::size_t>(got)), sink);
      for (const Frame& frame : pending) {
        frames.fetch_add(1);
        Response response = device.Handle(frame);
        if (response.completedImage) RecordCompletion(c, std::move(*response.completedImage));
        if (!response.reply.empty() && !SendReply(c, response.reply)) {
          open = false;
          break;
        }
        if (response.close) {
          Log("closed connection from " + c.peer + " to " + name + " (close-after fault)");
          open = false;
          break;
        }
      }
    }
  }
  std::lock_guard lock(connectionsMutex);
  CloseFd(c.fd);
  c.done = true;
}

std::filesystem::path Simulator::Impl::Save(const Endpoint& device,
                                            const std::vector<std::uint8_t>& image,
                                            std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(options.saveDir, ec);
  const std::string stem = FormatAddress(device.address) + '_' + std::to_string(device.port);
  for (int attempt = 0; attempt < 100000; ++attempt) {
    char counter[16];
    std::snprintf(counter, sizeof counter, "-%04u.bin", ++saveCounter);
    const std::filesystem::path path = options.saveDir / (stem + counter);
    // "x": never overwrite an image from an earlier run.
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
      if (errno == EEXIST) continue;
      *error = "cannot save to " + path.string() + ": " + ErrnoText(errno);
      return {};
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    if (std::fclose(file) != 0 || !written) {
      *error = "cannot write " + path.string();
      return {};
    }
    return path;
  }
  *error = "cannot find a free file name in " + options.saveDir.string();
  return {};
}

void Simulator::Impl::RecordCompletion(const Connection& c, std::vector<std::uint8_t> image) {
  std::lock_guard lock(completedMutex);
  CompletedImage done;
  done.device = c.device->endpoint();
  const std::string bytes = std::to_string(image.size()) + " bytes from " + c.peer;
  if (!options.saveDir.empty()) {
    std::string error;
    done.savedTo = Save(done.device, image, &error);
    if (done.savedTo.empty()) Log(error);
  }
  if (!done.savedTo.empty()) {
    Log("saved " + bytes + " to " + done.savedTo.string());
  } else {
    Log("received " + bytes + " on " + done.device.ToString());
  }
  done.image = std::move(image);
  completed.push_back(std::move(done));
}

Simulator::Simulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string* error) { return m_impl->Start(error); }

void Simulator::Stop() { m_impl->Stop(); }

std::vector<Endpoint> Simulator::endpoints() const {
  std::vector<Endpoint> result;
  for (const auto& l : m_impl->listeners) {
    if (l.device) result.push_back(l.device->endpoint());
  }
  return result;
}

std::vector<CompletedImage> Simulator::completed() const {
  std::lock_guard lock(m_impl->completedMutex);
  return m_impl->completed;
}

std::size_t Simulator::framesReceived() const { return m_impl->frames.load(); }

}  // namespace quento::device
