#include <fcntl.h>
#include <sys/socket.h>

#include "platform/listener.h"

namespace quento::platform {
namespace {

// Asio opens sockets without close-on-exec.
void CloseOnExec(int descriptor) { ::fcntl(descriptor, F_SETFD, FD_CLOEXEC); }

}  // namespace

void PrepareListener(asio::ip::tcp::acceptor& acceptor, asio::error_code& ec) {
  CloseOnExec(acceptor.native_handle());
  acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
}

void KeepFromChildProcesses(asio::ip::tcp::socket& socket) { CloseOnExec(socket.native_handle()); }

asio::socket_base::message_flags LastBytesFlags() { return MSG_MORE; }

}  // namespace quento::platform
