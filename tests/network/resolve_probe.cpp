// The resolver against the stub DNS server, under with_resolver.sh (see CMakeLists.txt).
//   resolve_probe WAIT_MS NAME[=EXPECTED]... [WAIT_MS NAME[=EXPECTED]...]...
// Asks each group's names at once with ResolveAll, then with Resolve on one event loop, and
// prints "NAME RESULT / RESULT"; exits 1 when a result is not the EXPECTED one.
#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <cctype>
#include <cstdio>
#include <string>

#include "connection/resolver.h"

using namespace quento::connection;

std::string Text(const Resolved& r) { return r.address ? r.address->ToString() : r.detail; }

int main(int argc, char** argv) {
  int failed = 0;
  for (int at = 1; at < argc;) {
    const std::chrono::milliseconds wait(std::stoi(argv[at++]));
    std::vector<std::pair<std::string, std::uint16_t>> hosts;
    std::vector<std::string> expected;
    for (; at < argc && !std::isdigit(static_cast<unsigned char>(argv[at][0])); ++at) {
      const std::string arg = argv[at];
      const std::size_t equals = std::min(arg.find('='), arg.size());
      hosts.emplace_back(arg.substr(0, equals), kDevicePort);
      expected.push_back(arg.substr(std::min(equals + 1, arg.size())));
    }
    const auto all = ResolveAll(hosts, wait, nullptr);
    asio::io_context io;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      asio::co_spawn(
          io, Resolve(hosts[i].first, kDevicePort, wait, nullptr),
          [&, i](std::exception_ptr, Resolved one) {
            const std::string got = Text(all[i]) + " / " + Text(one);
            const bool ok = expected[i].empty() || got == expected[i] + " / " + expected[i];
            failed += ok ? 0 : 1;
            std::printf("%s%s %s\n", ok ? "" : "FAIL ", hosts[i].first.c_str(), got.c_str());
          });
    }
    io.run();
  }
  return failed == 0 ? 0 : 1;
}
