#include "platform/listener.h"
// Asio has included winsock2.h, which must come before windows.h.
#include <windows.h>

namespace quento::platform {
namespace {

// Asio opens sockets inheritable.
void NotInherited(SOCKET socket) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

void PrepareListener(asio::ip::tcp::acceptor& acceptor, asio::error_code& ec) {
  NotInherited(acceptor.native_handle());
  acceptor.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true),
                      ec);
}

void KeepFromChildProcesses(asio::ip::tcp::socket& socket) { NotInherited(socket.native_handle()); }

asio::socket_base::message_flags LastBytesFlags() { return 0; }

}  // namespace quento::platform
