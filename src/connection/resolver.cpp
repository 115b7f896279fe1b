#include "connection/resolver.h"

#include <algorithm>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/lookup.h"
#include "platform/system_text.h"

namespace quento::connection {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

// Where the answers to one caller's lookups are told, so that any of them wakes it.
struct Waiter {
  std::mutex mutex;
  std::condition_variable answered;
  std::size_t answers = 0;  // under `mutex`
};

// One name being looked up: all that its thread touches besides the queue of lookups. Shared,
// so that it outlives whoever asked.
struct Lookup {
  Lookup(std::string name, std::shared_ptr<Waiter> told)
      : host(std::move(name)), waiter(std::move(told)) {}

  const std::string host;
  const std::shared_ptr<Waiter> waiter;
  std::atomic<bool> abandoned{false};  // nobody waits for it: not worth asking the system
  // Under waiter->mutex.
  bool done = false;
  std::vector<std::uint32_t> addresses;
  std::string error;
};

// The lookups waiting for a place, and how many threads run. Never destroyed: a thread still in
// the system's resolver when the program ends must find it as it was.
struct Places {
  std::mutex mutex;
  std::deque<std::shared_ptr<Lookup>> waiting;
  std::size_t running = 0;
};

Places& ThePlaces() {
  static Places& places = *new Places;
  return places;
}

void Answer(Lookup& lookup, std::vector<std::uint32_t> addresses, std::string error) {
  {
    const std::lock_guard lock(lookup.waiter->mutex);
    lookup.done = true;
    lookup.addresses = std::move(addresses);
    lookup.error = std::move(error);
    ++lookup.waiter->answers;
  }
  lookup.waiter->answered.notify_all();
}

// A thread's work: its own lookup, then those waiting for a place, until none is left.
void Work(std::shared_ptr<Lookup> lookup) {
  Places& places = ThePlaces();
  while (lookup) {
    if (!lookup->abandoned) {
      std::string error;
      auto addresses = platform::LookupIpv4(lookup->host, error);
      Answer(*lookup, std::move(addresses), std::move(error));
    }
    lookup.reset();
    const std::lock_guard lock(places.mutex);
    if (places.waiting.empty()) {
      --places.running;
      return;
    }
    lookup = std::move(places.waiting.front());
    places.waiting.pop_front();
  }
}

void Start(const std::shared_ptr<Lookup>& lookup) {
  Places& places = ThePlaces();
  {
    const std::lock_guard lock(places.mutex);
    if (places.running >= kMaxLookupThreads) {
      // Those given up on while they waited go, so that the queue stays as short as the waits.
      std::erase_if(places.waiting, [](const auto& waiting) { return waiting->abandoned.load(); });
      places.waiting.push_back(lookup);
      return;
    }
    ++places.running;
  }
  try {
    std::thread(Work, lookup).detach();
  } catch (const std::system_error& failure) {
    {
      const std::lock_guard lock(places.mutex);
      --places.running;
    }
    Answer(*lookup, {}, platform::SystemMessage(failure.code()));
  }
}

// The addresses that only name this host, every host or a group: no device has them.
bool Usable(std::uint32_t address) {
  return (address >> 24) != 0 && address != 0xFFFFFFFFu && (address >> 28) != 0xE;
}

Resolved Interrupted() { return {std::nullopt, "resolve: interrupted"}; }

Resolved NoAnswer(milliseconds wait) {
  return {std::nullopt, "resolve: no answer within " + std::to_string(wait.count()) + " ms"};
}

// A lookup that is done, under its waiter's mutex.
Resolved Outcome(const Lookup& lookup, std::uint16_t port) {
  if (lookup.addresses.empty()) return {std::nullopt, "resolve: " + lookup.error};
  const auto usable = std::find_if(lookup.addresses.begin(), lookup.addresses.end(), Usable);
  if (usable != lookup.addresses.end()) return {DeviceAddress{*usable, port}, {}};
  return {std::nullopt, "resolve: '" + lookup.host + "' is " +
                            FormatIpv4(lookup.addresses.front()) + ", which no device can have"};
}

bool Raised(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

}  // namespace

std::vector<Resolved> ResolveAll(const std::vector<std::pair<std::string, std::uint16_t>>& hosts,
                                 milliseconds wait, const std::atomic<bool>* cancel) {
  const auto deadline = Clock::now() + wait;
  if (Raised(cancel)) return std::vector<Resolved>(hosts.size(), Interrupted());
  auto waiter = std::make_shared<Waiter>();
  std::map<std::string, std::shared_ptr<Lookup>> byName;
  std::vector<std::shared_ptr<Lookup>> lookups;
  lookups.reserve(hosts.size());
  for (const auto& [host, port] : hosts) {
    auto& lookup = byName[host];
    if (!lookup) {
      lookup = std::make_shared<Lookup>(host, waiter);
      Start(lookup);
    }
    lookups.push_back(lookup);
  }
  std::vector<Resolved> results;
  results.reserve(hosts.size());
  std::unique_lock lock(waiter->mutex);
  // A signal handler raises `cancel` and cannot notify: it is looked at every 20 ms.
  while (waiter->answers < byName.size() && !Raised(cancel) && Clock::now() < deadline) {
    waiter->answered.wait_until(lock, std::min(Clock::now() + 20ms, deadline));
  }
  const Resolved late = Raised(cancel) ? Interrupted() : NoAnswer(wait);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    results.push_back(lookups[i]->done ? Outcome(*lookups[i], hosts[i].second) : late);
    lookups[i]->abandoned = true;
  }
  return results;
}

asio::awaitable<Resolved> Resolve(std::string host, std::uint16_t port, milliseconds wait,
                                  const std::atomic<bool>* cancel) {
  const auto deadline = Clock::now() + wait;
  if (Raised(cancel)) co_return Interrupted();
  auto lookup = std::make_shared<Lookup>(std::move(host), std::make_shared<Waiter>());
  // Also when the loop is destroyed while this waits: a lookup still queued is then not asked.
  struct GiveUp {
    Lookup& lookup;
    ~GiveUp() { lookup.abandoned = true; }
  } giveUp{*lookup};
  Start(lookup);
  // The answer is looked for every 10 ms rather than posted to the loop: the lookup's thread must
  // never touch the loop, which may be gone before the system answers.
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    {
      const std::lock_guard lock(lookup->waiter->mutex);
      if (lookup->done) co_return Outcome(*lookup, port);
    }
    const auto now = Clock::now();
    if (Raised(cancel)) co_return Interrupted();
    if (now >= deadline) co_return NoAnswer(wait);
    timer.expires_at(std::min(now + 10ms, deadline));
    co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
  }
}

}  // namespace quento::connection
