// The TCP side of the simulator: one io_context on one thread, a coroutine per listener and per
// connection. Stop() stops the loop and destroys it, which ends every coroutine wherever it waits
// (a delay, a send to a peer that does not read) and closes its socket.
#include "device/simulator.h"

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cstdio>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>

#include "device/device_state.h"
#include "device/listen_address.h"
#include "platform/digest.h"
#include "platform/file.h"
#include "platform/listener.h"
#include "platform/system_text.h"

namespace quento::device {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto kAwait = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::size_t kReceiveChunk = 4096;

// Addresses that share a port get a listening socket each up to this many. Past it one socket
// on 0.0.0.0 serves them all and the connection's local address picks the device: ten thousand
// listeners plus their connections would not fit in the descriptor limit.
constexpr std::size_t kMaxListenersPerPort = 256;

std::uint32_t HostOrder(const asio::ip::address& address) {
  return address.is_v4() ? address.to_v4().to_uint() : 0;
}

// The port bound, or nothing with `error` set.
std::optional<std::uint16_t> Listen(tcp::acceptor& acceptor, DeviceAddress at, std::string* error) {
  asio::error_code ec;
  acceptor.open(tcp::v4(), ec);
  if (ec) {
    *error = "cannot open a socket: " + platform::SystemMessage(ec);
    return std::nullopt;
  }
  // A child spawned by an in-process user (the tests start programs) must not keep a device's
  // port open.
  platform::PrepareListener(acceptor, ec);
  acceptor.bind(tcp::endpoint(asio::ip::address_v4(at.address), at.port), ec);
  if (ec) {
    *error = "cannot bind " + at.ToString() + ": " + platform::SystemMessage(ec);
    return std::nullopt;
  }
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + at.ToString() + ": " + platform::SystemMessage(ec);
    return std::nullopt;
  }
  return acceptor.local_endpoint(ec).port();
}

// False when the wait did not run its course.
asio::awaitable<bool> Hold(asio::steady_timer& timer, std::chrono::milliseconds gap) {
  timer.expires_after(gap);
  const auto [ec] = co_await timer.async_wait(kAwait);
  co_return !ec;
}

asio::awaitable<bool> Write(tcp::socket& socket, std::span<const std::uint8_t> bytes,
                            asio::socket_base::message_flags flags = 0) {
  while (!bytes.empty()) {
    const auto [ec, n] =
        co_await socket.async_send(asio::buffer(bytes.data(), bytes.size()), flags, kAwait);
    if (ec) co_return false;
    bytes = bytes.subspan(n);
  }
  co_return true;
}

// The reply with the device's timing faults applied; false when the connection is gone. The
// reply before a close (`last`) waits for the end of the stream to go with it.
asio::awaitable<bool> SendReply(tcp::socket& socket, asio::steady_timer& timer,
                                const DeviceState& device, std::span<const std::uint8_t> reply,
                                bool last) {
  const auto flags = last ? platform::LastBytesFlags() : 0;
  if (device.delay().count() > 0 && !co_await Hold(timer, device.delay())) co_return false;
  if (!device.splitGap() || reply.size() < 2) co_return co_await Write(socket, reply, flags);
  const std::size_t first = reply.size() / 2;
  if (!co_await Write(socket, reply.first(first))) co_return false;
  if (!co_await Hold(timer, *device.splitGap())) co_return false;
  co_return co_await Write(socket, reply.subspan(first), flags);
}

template <typename F>
struct AtExit {
  F f;
  ~AtExit() { f(); }
};
template <typename F>
AtExit(F) -> AtExit<F>;

}  // namespace

struct Simulator::Impl {
  struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io) {}
    tcp::acceptor acceptor;
    DeviceState* device = nullptr;                              // the one device it serves
    std::unordered_map<std::uint32_t, DeviceState*> byAddress;  // or, on 0.0.0.0, these
  };

  // One connection to an address, for interleavedFrames().
  struct Peer {
    tcp::socket* socket;
    std::uint64_t read = 0;  // bytes read from it
    std::uint64_t seen = 0;  // bytes known to have arrived: read, or waiting in the system
    bool spoke = false;      // some of its bytes have arrived
    bool overtaken = false;  // another connection's bytes arrived after its own last ones
    bool fresh = false;      // the current look found bytes of it not seen before
  };

  explicit Impl(SimulatorOptions o) : options(std::move(o)) {}

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }
  const FaultPlan& PlanFor(std::uint32_t address) const {
    const auto it = options.faultsByAddress.find(address);
    return it != options.faultsByAddress.end() ? it->second : options.faults;
  }

  bool Start(std::string* error);
  bool Bind(std::vector<DeviceAddress>& wanted, std::string* error);
  void Stop();
  asio::awaitable<void> Accept(Listener& listener);
  asio::awaitable<void> Serve(tcp::socket socket, DeviceState& device);
  void Observe(std::list<Peer>& connections);
  void RecordCompletion(const DeviceState& device, const std::string& peer,
                        std::vector<std::uint8_t> image);
  std::filesystem::path Save(const DeviceAddress& device, const std::vector<std::uint8_t>& image,
                             std::string* error);

  SimulatorOptions options;
  std::mutex lifecycleMutex;
  bool started = false;
  bool stopped = false;
  // Each address's open connections, oldest first; the loop thread's. Before the loop, which
  // holds the connections that leave it when they end.
  std::unordered_map<const DeviceState*, std::list<Peer>> peers;
  std::optional<asio::io_context> io{std::in_place, 1};
  std::vector<std::unique_ptr<DeviceState>> devices;  // in the order listed; fixed once started
  std::list<Listener> listeners;
  std::thread loop;

  mutable std::mutex completedMutex;
  std::vector<CompletedImage> completed;  // only with options.keepCompleted
  unsigned saveCounter = 0;               // the loop thread's

  std::atomic<std::size_t> frames{0};
  std::atomic<std::size_t> interleaved{0};
};

bool Simulator::Impl::Start(std::string* error) {
  std::lock_guard lock(lifecycleMutex);
  if (started) {
    if (error != nullptr) *error = "the simulator was already started";
    return false;
  }
  std::vector<DeviceAddress> wanted;
  std::string why;
  for (const auto& text : options.listen) {
    if (!ParseListen(text, wanted, &why)) break;
  }
  if (why.empty() && wanted.empty()) why = "no address to listen on";
  if (!why.empty() || !Bind(wanted, &why)) {
    listeners.clear();
    devices.clear();
    if (error != nullptr) *error = why;
    return false;
  }
  started = true;
  for (const auto& device : devices) Log("listening on " + device->endpoint().ToString());
  for (Listener& listener : listeners) asio::co_spawn(*io, Accept(listener), asio::detached);
  loop = std::thread([this] { io->run(); });
  return true;
}

bool Simulator::Impl::Bind(std::vector<DeviceAddress>& wanted, std::string* error) {
  std::map<std::uint16_t, std::vector<std::size_t>> byPort;
  for (std::size_t i = 0; i < wanted.size(); ++i) byPort[wanted[i].port].push_back(i);
  devices.resize(wanted.size());
  const auto addDevice = [&](std::size_t i, std::uint16_t port) -> DeviceState& {
    devices[i] = std::make_unique<DeviceState>(DeviceAddress{wanted[i].address, port},
                                               PlanFor(wanted[i].address));
    return *devices[i];
  };
  for (const auto& [port, group] : byPort) {
    if (group.size() <= kMaxListenersPerPort) {
      for (const std::size_t i : group) {
        Listener& listener = listeners.emplace_back(*io);
        const auto bound = Listen(listener.acceptor, wanted[i], error);
        if (!bound) return false;
        listener.device = &addDevice(i, *bound);
      }
      continue;
    }
    Listener& listener = listeners.emplace_back(*io);
    const auto bound = Listen(listener.acceptor, DeviceAddress{0, port}, error);
    if (!bound) return false;
    for (const std::size_t i : group) {
      if (!listener.byAddress.emplace(wanted[i].address, &addDevice(i, *bound)).second) {
        *error = connection::FormatIpv4(wanted[i].address) + " is listed twice on port " +
                 std::to_string(port);
        return false;
      }
    }
  }
  return true;
}

void Simulator::Impl::Stop() {
  std::lock_guard lock(lifecycleMutex);
  if (!started || stopped) return;
  stopped = true;
  io->stop();
  if (loop.joinable()) loop.join();
  // The acceptors belong to the loop: they go before it.
  listeners.clear();
  io.reset();
}

asio::awaitable<void> Simulator::Impl::Accept(Listener& listener) {
  asio::steady_timer pause(listener.acceptor.get_executor());
  for (;;) {
    auto [ec, socket] = co_await listener.acceptor.async_accept(kAwait);
    if (ec == asio::error::operation_aborted) co_return;
    if (ec == asio::error::connection_aborted) continue;
    if (ec) {
      asio::error_code ignored;
      const auto at = listener.acceptor.local_endpoint(ignored);
      Log("cannot accept on " + DeviceAddress{HostOrder(at.address()), at.port()}.ToString() +
          ": " + platform::SystemMessage(ec));
      // Out of descriptors, most likely: let connections close before trying again.
      if (!co_await Hold(pause, 50ms)) co_return;
      continue;
    }
    platform::KeepFromChildProcesses(socket);
    DeviceState* device = listener.device;
    if (device == nullptr) {
      asio::error_code lost;
      const auto it = listener.byAddress.find(HostOrder(socket.local_endpoint(lost).address()));
      if (lost || it == listener.byAddress.end()) continue;  // no device there: closed here
      device = it->second;
    }
    asio::co_spawn(listener.acceptor.get_executor(), Serve(std::move(socket), *device),
                   asio::detached);
  }
}

asio::awaitable<void> Simulator::Impl::Serve(tcp::socket socket, DeviceState& device) {
  asio::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  const std::string peer =
      ec ? "?" : DeviceAddress{HostOrder(remote.address()), remote.port()}.ToString();
  const auto closing = [&](const char* fault) {
    Log("closed connection from " + peer + " to " + device.endpoint().ToString() + " (" + fault +
        " fault)");
  };
  if (!device.OnConnect()) {
    closing(device.wedged() ? "wedge-after-drop" : "close-after");
    co_return;
  }
  socket.set_option(tcp::no_delay(true), ec);
  std::list<Peer>& connections = peers[&device];
  const auto self = connections.insert(connections.end(), Peer{&socket});
  DeviceState::Connection connection;
  const AtExit leave{[&] {
    device.OnDisconnect(connection);
    connections.erase(self);
    if (connections.empty()) peers.erase(&device);
  }};

  FrameParser parser;
  std::vector<Frame> pending;
  const FrameParser::Sink sink = [&pending](Frame&& f) { pending.push_back(std::move(f)); };
  std::array<std::uint8_t, kReceiveChunk> buffer;
  asio::steady_timer timer(socket.get_executor());
  for (;;) {
    const auto [error, got] = co_await socket.async_read_some(asio::buffer(buffer), kAwait);
    if (error) co_return;
    self->read += got;
    Observe(connections);
    pending.clear();
    parser.Feed(std::span(buffer.data(), got), sink);
    for (const Frame& frame : pending) {
      frames.fetch_add(1);
      Response response = device.Handle(frame, connection);
      if (response.completedImage) {
        RecordCompletion(device, peer, std::move(*response.completedImage));
      }
      if (!response.reply.empty() &&
          !co_await SendReply(socket, timer, device, response.reply, response.close)) {
        co_return;
      }
      if (response.close) {
        // With the reply: a tool that has read it finds the connection closed.
        socket.shutdown(tcp::socket::shutdown_send, ec);
        closing(device.wedged() ? "wedge-after-drop" : "close-after");
        co_return;
      }
    }
  }
}

// After each read from one of an address's connections: counts each connection whose new bytes
// arrived after another's that arrived after its own last ones. What arrived is what has been
// read plus what waits in the system, looked at newest connection first: bytes on a newer
// connection were sent after all that a tool sent on an older one before it closed that and
// opened this, so those are seen by then too, however far behind the older one's reads are.
void Simulator::Impl::Observe(std::list<Peer>& connections) {
  bool fresh = false;
  for (auto it = connections.rbegin(); it != connections.rend(); ++it) {
    asio::error_code ec;  // a connection that failed has no more bytes coming
    const std::uint64_t arrived =
        it->read + (connections.size() > 1 ? it->socket->available(ec) : 0);
    it->fresh = arrived > it->seen;
    it->seen = std::max(it->seen, arrived);
    fresh = fresh || it->fresh;
  }
  for (Peer& peer : connections) {
    if (peer.fresh) {
      // Bytes of two connections found in one look came in no known order: neither counts.
      if (peer.overtaken) interleaved.fetch_add(1);
      peer.spoke = true;
      peer.overtaken = false;
    } else {
      peer.overtaken = peer.overtaken || (peer.spoke && fresh);
    }
  }
}

std::filesystem::path Simulator::Impl::Save(const DeviceAddress& device,
                                            const std::vector<std::uint8_t>& image,
                                            std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(options.saveDir, ec);
  const std::string stem =
      connection::FormatIpv4(device.address) + '_' + std::to_string(device.port);
  for (int attempt = 0; attempt < 100000; ++attempt) {
    char counter[16];
    std::snprintf(counter, sizeof counter, "-%04u.bin", ++saveCounter);
    const std::filesystem::path path = options.saveDir / (stem + counter);
    std::string why;
    // Never over an image from an earlier run.
    switch (platform::WriteNewFile(path, image, why)) {
      case platform::FileWrite::kOk:
        return path;
      case platform::FileWrite::kExists:
        continue;
      case platform::FileWrite::kFailed:
        *error = "cannot save to " + platform::Utf8FromPath(path) + ": " + why;
        return {};
    }
  }
  *error = "cannot find a free file name in " + platform::Utf8FromPath(options.saveDir);
  return {};
}

void Simulator::Impl::RecordCompletion(const DeviceState& device, const std::string& peer,
                                       std::vector<std::uint8_t> image) {
  CompletedImage done;
  done.device = device.endpoint();
  const std::string bytes = std::to_string(image.size()) + " bytes from " + peer;
  if (!options.saveDir.empty()) {
    std::string error;
    done.savedTo = Save(done.device, image, &error);
    if (done.savedTo.empty()) Log(error);
  }
  if (!done.savedTo.empty()) {
    // The digest between the two, so that lines still start "saved N bytes from " and end
    // " to PATH".
    Log("saved " + bytes + ", sha256 " + platform::Sha256Hex(image) + ", to " +
        platform::Utf8FromPath(done.savedTo));
  } else {
    Log("received " + bytes + " on " + done.device.ToString());
  }
  if (!options.keepCompleted) return;
  done.image = std::move(image);
  std::lock_guard lock(completedMutex);
  completed.push_back(std::move(done));
}

Simulator::Simulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string* error) { return m_impl->Start(error); }

void Simulator::Stop() { m_impl->Stop(); }

std::vector<DeviceAddress> Simulator::endpoints() const {
  std::vector<DeviceAddress> result;
  result.reserve(m_impl->devices.size());
  for (const auto& device : m_impl->devices) result.push_back(device->endpoint());
  return result;
}

std::vector<CompletedImage> Simulator::completed() const {
  std::lock_guard lock(m_impl->completedMutex);
  return m_impl->completed;
}

std::size_t Simulator::framesReceived() const { return m_impl->frames.load(); }

std::size_t Simulator::interleavedFrames() const { return m_impl->interleaved.load(); }

}  // namespace quento::device
