// quento-fault-proxy: relays TCP connections from --listen to --target, damaging the traffic on
// the way. One thread, one coroutine per connection; every fault is per connection.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "connection/address.h"

namespace quento::faultproxy {
namespace {

using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

struct Options {
  std::optional<tcp::endpoint> listen;
  std::optional<tcp::endpoint> target;
  milliseconds delay{0};
  milliseconds jitter{0};
  std::size_t split = 0;
  milliseconds splitGap{1};
  milliseconds coalesce{0};
  std::optional<std::size_t> stallAfter;
  milliseconds stall{0};
  std::size_t duplicateEvery = 0;
  std::optional<std::size_t> halfCloseAfter;
  std::optional<std::size_t> resetAfter;
  bool toDevice = true;
  bool toClient = true;
  unsigned seed = 1;
};

// "ADDR:PORT", the port never left out; port 0 listens on a free one, 0.0.0.0 on every
// interface.
std::optional<tcp::endpoint> Endpoint(std::string_view text) {
  const auto split = connection::SplitPort(text);
  if (text.find(':') == std::string_view::npos || !split) return std::nullopt;
  const auto address = split->addresses == "0.0.0.0" ? std::optional<std::uint32_t>(0)
                                                     : connection::ParseIpv4(split->addresses);
  if (!address) return std::nullopt;
  return tcp::endpoint(asio::ip::address_v4(*address), split->port);
}

std::string ToString(const tcp::endpoint& endpoint) {
  return endpoint.address().to_string() + ':' + std::to_string(endpoint.port());
}

CLI::Validator WholeNumber(std::uint32_t min, std::uint32_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        const auto n = connection::ParseDecimal(text, max);
        if (n && *n >= min) return {};
        return "expected a whole number, " + std::to_string(min) + ".." + std::to_string(max);
      },
      "");
}

// `name`'s value, a whole number in min..max, into `field`: a count, or milliseconds.
template <typename Field>
void AddNumber(CLI::App& app, const std::string& name, Field& field, std::uint32_t min,
               std::uint32_t max, const std::string& help) {
  app.add_option_function<std::string>(
         name,
         [&field](const std::string& text) {
           // Checked by WholeNumber before this runs.
           const std::uint32_t n = *connection::ParseDecimal(text, 0xFFFFFFFFu);
           if constexpr (std::is_same_v<Field, milliseconds>) {
             field = milliseconds(n);
           } else {
             field = n;
           }
         },
         help)
      ->check(WholeNumber(min, max))
      ->type_name(std::is_same_v<Field, milliseconds> ? "MS" : "N");
}

void AddEndpoint(CLI::App& app, const std::string& name, std::optional<tcp::endpoint>& field,
                 const std::string& help) {
  app.add_option_function<std::string>(
         name, [&field](const std::string& text) { field = Endpoint(text); }, help)
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return Endpoint(text) ? std::string() : "expected ADDR:PORT, not '" + text + "'";
          },
          ""))
      ->type_name("ADDR:PORT")
      ->required();
}

void AddOptions(CLI::App& app, Options& o) {
  constexpr std::uint32_t kMs = 10 * 60 * 1000;
  constexpr std::uint32_t kBytes = 0xFFFFFFFFu;
  // As the hand-written loop before it did: a repeated option's last value counts.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  AddEndpoint(app, "--listen", o.listen, "where to accept connections");
  AddEndpoint(app, "--target", o.target, "where to relay them");
  AddNumber(app, "--delay", o.delay, 0, kMs, "hold every chunk back MS milliseconds");
  AddNumber(app, "--jitter", o.jitter, 0, kMs, "plus a random 0..MS more (order is kept)");
  AddNumber(app, "--split", o.split, 1, 1 << 20,
            "forward in segments of at most N bytes, --split-gap MS apart (1)");
  AddNumber(app, "--split-gap", o.splitGap, 0, kMs, "the gap between --split's segments");
  AddNumber(app, "--coalesce", o.coalesce, 0, kMs,
            "gather what arrives within MS into one segment");
  AddNumber(app, "--stall-after", o.stallAfter, 0, kBytes,
            "after N bytes, forward nothing for --stall MS");
  AddNumber(app, "--stall", o.stall, 0, kMs, "how long --stall-after stalls");
  AddNumber(app, "--duplicate-every", o.duplicateEvery, 1, 1 << 30, "send every Nth byte twice");
  AddNumber(app, "--half-close-after", o.halfCloseAfter, 0, kBytes,
            "after N bytes, shut both write sides and forward nothing more");
  AddNumber(app, "--reset-after", o.resetAfter, 0, kBytes,
            "after N bytes, reset both connections (SO_LINGER 0)");
  AddNumber(app, "--seed", o.seed, 0, 0xFFFFFFFFu, "seed for the jitter");
  app.add_option_function<std::string>(
         "--direction",
         [&o](const std::string& value) {
           o.toDevice = value == "both" || value == "to-device";
           o.toClient = value == "both" || value == "to-client";
         },
         "which traffic is damaged (both)")
      ->check(CLI::IsMember({"both", "to-device", "to-client"}));
  app.footer(
      "Byte counts are per connection, over the damaged directions. Prints 'listening on "
      "ADDR:PORT' once ready; stops on SIGINT or SIGTERM.");
}

struct Chunk {
  Clock::time_point due;
  std::vector<std::uint8_t> bytes;
  bool gathering = false;
};

// One direction of a connection: what was read from `from`, waiting to go to `to`.
struct Lane {
  Lane(tcp::socket& from, tcp::socket& to, bool damaged, unsigned seed)
      : from(from), to(to), damaged(damaged), random(seed), wake(from.get_executor()) {}

  tcp::socket& from;
  tcp::socket& to;
  const bool damaged;
  std::mt19937 random;
  // The forwarder sleeps on it until the front chunk is due; the receiver cancels it when a
  // chunk lands in an empty queue or the peer has stopped sending.
  asio::steady_timer wake;
  std::deque<Chunk> queue;
  bool eof = false;
  bool stalled = false;
  Clock::time_point floor{};
  std::size_t read = 0;
  std::size_t queued = 0;
};

class Connection {
 public:
  Connection(const Options& options, tcp::socket client, unsigned seed)
      : m_options(options),
        m_client(std::move(client)),
        m_device(m_client.get_executor()),
        m_up(m_client, m_device, options.toDevice, seed),
        m_down(m_device, m_client, options.toClient, seed + 1) {
    m_limit = options.resetAfter;
    if (options.halfCloseAfter && (!m_limit || *options.halfCloseAfter < *m_limit)) {
      m_limit = options.halfCloseAfter;
    }
  }

  awaitable<void> Run() {
    if (const auto [ec] = co_await m_device.async_connect(*m_options.target, kNoThrow); ec) {
      std::fprintf(stderr, "cannot reach %s: %s\n", ToString(*m_options.target).c_str(),
                   ec.message().c_str());
      co_return;
    }
    asio::error_code ignored;
    m_client.set_option(tcp::no_delay(true), ignored);
    m_device.set_option(tcp::no_delay(true), ignored);
    co_await (Receive(m_up) && Forward(m_up) && Receive(m_down) && Forward(m_down));
  }

 private:
  awaitable<void> Receive(Lane& lane) {
    std::uint8_t buffer[4096];
    for (;;) {
      const auto [ec, n] = co_await lane.from.async_read_some(asio::buffer(buffer), kNoThrow);
      if (m_ended) co_return;
      if (ec == asio::error::eof && !m_halfClosed) {
        lane.eof = true;
        lane.wake.cancel();
        co_return;
      }
      // Once half closed, the first end from either side ends the connection.
      if (ec) {
        End(false);
        co_return;
      }
      if (m_halfClosed) continue;
      const bool idle = lane.queue.empty();
      Enqueue(lane, std::vector<std::uint8_t>(buffer, buffer + n), Clock::now());
      if (idle) lane.wake.cancel();
    }
  }

  awaitable<void> Forward(Lane& lane) {
    while (!m_ended && !m_halfClosed) {
      if (lane.queue.empty() ? !lane.eof : lane.queue.front().due > Clock::now()) {
        lane.wake.expires_at(lane.queue.empty() ? Clock::time_point::max()
                                                : lane.queue.front().due);
        co_await lane.wake.async_wait(kNoThrow);
        continue;
      }
      if (lane.queue.empty()) {
        asio::error_code ignored;
        lane.to.shutdown(tcp::socket::shutdown_send, ignored);
        co_return;
      }
      const std::vector<std::uint8_t> bytes = std::move(lane.queue.front().bytes);
      lane.queue.pop_front();
      std::size_t take = bytes.size();
      bool last = false;
      if (lane.damaged && m_limit) {
        // The other direction is writing the last bytes and will end the connection.
        if (m_limitReached) co_return;
        // Counted before the write, so the two directions together never pass the limit.
        take = std::min(take, *m_limit - m_forwarded);
        m_forwarded += take;
        last = m_limitReached = m_forwarded >= *m_limit;
      }
      const auto [ec, n] =
          co_await asio::async_write(lane.to, asio::buffer(bytes.data(), take), kNoThrow);
      // A write cut short by the half close is expected; the connection lives on.
      if (ec && !m_halfClosed) End(false);
      if (ec) co_return;
      if (last && m_options.resetAfter && m_forwarded >= *m_options.resetAfter) End(true);
      if (last && !m_ended) HalfClose();
    }
  }

  void Enqueue(Lane& lane, std::vector<std::uint8_t> bytes, Clock::time_point now) {
    const Options& o = m_options;
    if (!lane.damaged) return Push(lane, {now, std::move(bytes)});
    if (o.duplicateEvery > 0) {
      std::vector<std::uint8_t> doubled;
      for (std::uint8_t b : bytes) {
        doubled.push_back(b);
        if (++lane.read % o.duplicateEvery == 0) doubled.push_back(b);
      }
      bytes = std::move(doubled);
    }
    Clock::time_point due = now + o.delay;
    due += milliseconds(std::uniform_int_distribution<long long>(0, o.jitter.count())(lane.random));
    // A stall holds back everything from the Nth byte on, once per direction.
    if (o.stallAfter && !lane.stalled && lane.queued + bytes.size() > *o.stallAfter) {
      const std::size_t before = *o.stallAfter - lane.queued;
      if (before > 0) {
        Push(lane, {due, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + before)});
        bytes.erase(bytes.begin(), bytes.begin() + before);
        lane.queued += before;
      }
      lane.stalled = true;
      lane.floor = now + o.stall;
    }
    lane.queued += bytes.size();
    due = std::max(due, lane.floor);

    if (o.coalesce.count() > 0) {
      Chunk* back = lane.queue.empty() ? nullptr : &lane.queue.back();
      if (back && back->gathering && back->due > now) {
        back->bytes.insert(back->bytes.end(), bytes.begin(), bytes.end());
        return;
      }
      return Push(lane, {std::max(due, now + o.coalesce), std::move(bytes), true});
    }
    if (o.split > 0) {
      for (std::size_t at = 0; at < bytes.size(); at += o.split, due += o.splitGap) {
        const std::size_t end = std::min(bytes.size(), at + o.split);
        Push(lane, {due, std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + end)});
      }
      return;
    }
    Push(lane, {due, std::move(bytes)});
  }

  // Chunks leave in the order they came, whatever their own delays.
  static void Push(Lane& lane, Chunk chunk) {
    if (!lane.queue.empty()) chunk.due = std::max(chunk.due, lane.queue.back().due);
    lane.queue.push_back(std::move(chunk));
  }

  void HalfClose() {
    m_halfClosed = true;
    asio::error_code ignored;
    m_client.shutdown(tcp::socket::shutdown_send, ignored);
    m_device.shutdown(tcp::socket::shutdown_send, ignored);
    m_up.wake.cancel();
    m_down.wake.cancel();
  }

  // Closing the sockets and timers is what makes every coroutine of the connection return.
  void End(bool reset) {
    if (m_ended) return;
    m_ended = true;
    for (tcp::socket* socket : {&m_client, &m_device}) {
      asio::error_code ignored;
      if (reset) socket->set_option(asio::socket_base::linger(true, 0), ignored);
      socket->close(ignored);
    }
    m_up.wake.cancel();
    m_down.wake.cancel();
  }

  const Options& m_options;
  tcp::socket m_client;
  tcp::socket m_device;
  Lane m_up;
  Lane m_down;
  // Shared by both directions: the byte limits count both ways.
  std::optional<std::size_t> m_limit;
  std::size_t m_forwarded = 0;
  bool m_limitReached = false;
  bool m_halfClosed = false;
  bool m_ended = false;
};

awaitable<void> Relay(tcp::socket client, const Options& options, unsigned seed) {
  Connection connection(options, std::move(client), seed);
  co_await connection.Run();
}

awaitable<void> Accept(tcp::acceptor& acceptor, const Options& options) {
  for (unsigned seed = options.seed;;) {
    auto [ec, client] = co_await acceptor.async_accept(kNoThrow);
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) continue;
    asio::co_spawn(acceptor.get_executor(), Relay(std::move(client), options, seed),
                   asio::detached);
    seed += 2;
  }
}

int Run(int argc, char** argv) {
  CLI::App app{
      "quento-fault-proxy: relays TCP connections from --listen to --target, damaging the "
      "traffic on the way"};
  Options options;
  AddOptions(app, options);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "quento-fault-proxy: " + std::string(e.what()) +
           "\nRun with --help for more information.\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  asio::io_context io(1);
  // Connections still open at a signal are dropped with the io_context.
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](const asio::error_code&, int) { io.stop(); });
  std::optional<tcp::acceptor> acceptor;
  try {
    acceptor.emplace(io, *options.listen);
  } catch (const asio::system_error& e) {
    std::fprintf(stderr, "quento-fault-proxy: cannot listen on %s: %s\n",
                 ToString(*options.listen).c_str(), e.code().message().c_str());
    return 1;
  }
  std::printf("listening on %s\n", ToString(acceptor->local_endpoint()).c_str());
  std::fflush(stdout);
  asio::co_spawn(io, Accept(*acceptor, options), asio::detached);
  io.run();
  return 0;
}

}  // namespace
}  // namespace quento::faultproxy

int main(int argc, char** argv) { return quento::faultproxy::Run(argc, argv); }
