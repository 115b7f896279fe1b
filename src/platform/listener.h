// Sockets of a server that other programs start and restart (quento-device under the tests).
#pragma once

#include <asio/ip/tcp.hpp>

namespace quento::platform {

// Readies an open listening socket before it is bound: its address may be bound again at once
// after the program ends (connections left in TIME_WAIT do not hold it), but never by a second
// listener while this one lives. On POSIX that is SO_REUSEADDR; on Windows SO_REUSEADDR would
// let another program take the port, and it is SO_EXCLUSIVEADDRUSE. It is also kept from child
// processes.
void PrepareListener(asio::ip::tcp::acceptor& acceptor, asio::error_code& ec);

// Keeps a connection from child processes the program starts: they must not hold a device's
// connection open.
void KeepFromChildProcesses(asio::ip::tcp::socket& socket);

// The send flags for a server's last bytes before it ends the connection: the bytes wait for the
// end of the stream and leave in one segment with it, so a peer that has read them finds the end
// right behind. On Linux that is MSG_MORE; Windows has nothing like it (no flags), and there the
// end may follow a moment later.
asio::socket_base::message_flags LastBytesFlags();

}  // namespace quento::platform
