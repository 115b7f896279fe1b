#include <limits.h>
#include <unistd.h>

#include "platform/host.h"

namespace quento::platform {

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace quento::platform
