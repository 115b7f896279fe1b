// The far end of a loopback TCP connection, for tests of the real sockets. One implementation
// per platform, chosen in CMake.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quento::testing {

class LoopbackPeer {
 public:
  LoopbackPeer();  // listening on 127.0.0.1, a free port
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const;
  void Accept();  // waits for the connection
  void Send(const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Receive(std::size_t size);  // exactly `size` bytes, or fewer at EOF
  void CloseConnection();
  void CloseListener();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quento::testing
