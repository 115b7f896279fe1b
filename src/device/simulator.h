// quento-device as a library: a simulated firmware loader (one or many devices) on real TCP
// sockets, with fault injection. The program's main() is a thin shell around it; tests start it
// in-process on port 0.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/address.h"

namespace quento::device {

inline constexpr int kAlways = -1;

// What a simulated device does wrong. Counts say how many times; kAlways means every time.
struct FaultPlan {
  bool silent = false;          // reads frames, never answers
  int ignoreGreetings = 0;      // the first N greetings get no echo
  std::map<int, int> dropAck;   // block -> times its write acknowledgement is not sent
  std::map<int, int> wrongAck;  // block -> times it is acknowledged with 12 34 56 78 00 01
  std::map<int, std::size_t> corruptRead;  // block -> offset in the block flipped on read-back
  int wrongReadIndex = 0;                  // the first N read replies carry a wrong block index
  std::chrono::milliseconds delay{0};      // every reply is held back this long
  std::optional<std::chrono::milliseconds> splitGap;  // replies go in two segments, this gap
  std::size_t junk = 0;                               // bytes of junk appended to every reply
  std::size_t trailing = 0;  // zero bytes sent after every block-read reply, and no other
  int closeAfter = -1;       // the connection is closed after N frames (-1: never)
  // Once a connection that greeted closes before its completion frame, every later connection
  // is closed as soon as it is accepted, as a loader does that must be power-cycled.
  bool wedgeAfterDrop = false;
  bool keepFirstWrite = false;  // a block written again in one download keeps its first content
};

// Adds one fault to `plan`. Grammar (one fault per call):
//   silent | ignore-greeting:N | drop-ack:B[:N|always] | wrong-ack:B[:N|always]
//   | corrupt-read:B[:OFFSET] | wrong-read-index:N | delay:MS | split:GAP_MS | junk:N
//   | trailing:N | close-after:N | wedge-after-drop | keep-first-write
// N defaults to 1, OFFSET to 6. Returns false with `error` set for anything else. junk:N goes
// after every reply (echo, acknowledgement, read reply) and is 0xEE; trailing:N goes after
// block-read replies only and is 0x00, as from a loader that sends its whole read buffer.
bool AddFault(std::string_view text, FaultPlan& plan, std::string* error);

// A simulated device's address: where it listens, with the port actually bound.
using connection::DeviceAddress;

struct SimulatorOptions {
  // "ADDR", "ADDR:PORT", or a range "ADDR1-ADDR2[:PORT]": each address is its own device with
  // its own stored image and fault counts. Default port 18810. Up to 256 addresses on one port
  // get a listening socket each (port 0: a free port each); more than 256 share one socket on
  // 0.0.0.0 (port 0: one free port for them all), which closes at once a connection to an
  // address that is not listed.
  std::vector<std::string> listen = {"127.0.0.1"};
  std::filesystem::path saveDir{};                       // empty: completed images are not saved
  FaultPlan faults{};                                    // for every device
  std::map<std::uint32_t, FaultPlan> faultsByAddress{};  // replaces `faults` for that address
  // Receives each line the simulator reports (listening, image saved, connection errors).
  std::function<void(std::string_view)> log{};
  // Keeps every completed image for completed(). For in-process tests only: a program that runs
  // for days would hold every image it ever received.
  bool keepCompleted = false;
};

struct CompletedImage {
  DeviceAddress device;
  std::vector<std::uint8_t> image;  // unmasked, as the operator's file
  std::filesystem::path savedTo;    // empty when not saved
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options);
  ~Simulator();  // stops
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds and listens on every endpoint; devices serve on one background thread from then on.
  bool Start(std::string* error);
  // Closes listeners and connections, cutting short any delay, and joins the thread.
  // Idempotent.
  void Stop();

  std::vector<DeviceAddress> endpoints() const;
  // Every image completed so far, oldest first, when the options say keepCompleted; else none.
  std::vector<CompletedImage> completed() const;
  // Frames received in all, for tests that count exchanges.
  std::size_t framesReceived() const;
  // Frames that arrived at an address from one connection after a frame from another connection
  // arrived there since the first one's previous frame: two downloads to one device at once. A
  // connection closed before the next one opens never counts, however late its last frames are
  // read. Frames that arrive together count once.
  std::size_t interleavedFrames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The program: parses the command line, starts, prints "listening on ADDR:PORT" for every
// endpoint, then one line per saved image, until a request to stop (platform/program.h).
// Returns the exit status.
int RunDevice(int argc, char** argv);

}  // namespace quento::device
