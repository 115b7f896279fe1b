// A TCP stream socket over the operating system's socket layer. One implementation file per
// platform; nothing outside them knows which one is built.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quento::platform {

// A failed system call: its name and the platform's error code.
struct SysError {
  const char* call = nullptr;
  int code = 0;
};

// Starts the socket library where the platform has one (Windows Sockets 1.1). Idempotent.
bool StartNetworking();

enum class WaitResult { kReady, kTimeout, kError };

class TcpSocket {
 public:
  TcpSocket() = default;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  ~TcpSocket();

  // An IPv4 stream socket; invalid (with `error` set) on failure.
  static TcpSocket Open(SysError* error);

  bool valid() const { return m_handle != kInvalid; }
  SysError last_error() const { return m_error; }

  bool SetReceiveTimeout(int milliseconds);
  bool SetSendTimeout(int milliseconds);
  // Blocking connect. `address` and `port` are in host byte order.
  bool Connect(std::uint32_t address, std::uint16_t port);
  // One send call with MSG_DONTROUTE; never raises SIGPIPE. Returns the count sent or -1.
  long Send(const void* data, std::size_t size);
  // Waits until bytes (or the end of the stream) can be read.
  WaitResult WaitReadable(int timeout_ms);
  // One receive call. Returns the count, 0 at the end of the stream, or -1.
  long Receive(void* data, std::size_t size);
  // Shuts both directions down: a connect or receive blocked in another thread returns.
  void Shutdown();
  void Close();

 private:
  static constexpr std::intptr_t kInvalid = -1;
  explicit TcpSocket(std::intptr_t handle) : m_handle(handle) {}
  bool Fail(const char* call);

  std::intptr_t m_handle = kInvalid;
  SysError m_error;
};

}  // namespace quento::platform
