#include "connection/address.h"

#include <gtest/gtest.h>

namespace quento::connection {
namespace {

TEST(Address, FourDecimalOctetsParse_AnythingElseIsRefused) {
  EXPECT_EQ(ParseIpv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(FormatIpv4(0xC0A80114u), "192.168.1.20");
  EXPECT_EQ(ParseDevice("10.0.0.1")->port, 18810);
  EXPECT_EQ(ParseDevice("10.0.0.1:2000")->ToString(), "10.0.0.1:2000");
  // ParseDevice reads the address with ParseIpv4.
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "01.2.3.4", "1..2.3",
                          " 1.2.3.4", "1.2.3.4x", "0x7f.0.0.1", "0.0.0.0", "255.255.255.255",
                          "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:x", ":80"}) {
    EXPECT_FALSE(ParseDevice(bad)) << bad;
  }
}

}  // namespace
}  // namespace quento::connection
