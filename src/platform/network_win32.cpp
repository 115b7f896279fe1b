#include <winsock2.h>

#include "platform/network.h"

namespace quento::platform {

bool StartSocketLibrary() {
  WSADATA data{};
  if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  if (data.wVersion != MAKEWORD(1, 1)) {
    ::WSACleanup();
    return false;
  }
  // Never released: the library stays up until the process ends.
  return true;
}

}  // namespace quento::platform
