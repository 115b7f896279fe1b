#include "connection/address.h"

#include <gtest/gtest.h>

namespace quento::connection {
namespace {

TEST(Address, DottedDecimalParsesToHostOrder) {
  EXPECT_EQ(ParseIpv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(ParseIpv4("127.0.0.1"), 0x7F000001u);
  EXPECT_EQ(FormatIpv4(0xC0A80114u), "192.168.1.20");
}

TEST(Address, AnythingButFourDecimalOctetsIsRefused) {
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "01.2.3.4", "1..2.3", " 1.2.3.4",
        "1.2.3.4x", "0x7f.0.0.1", "0.0.0.0", "255.255.255.255", "1.2.3.99999"}) {
    EXPECT_FALSE(ParseIpv4(bad)) << bad;
  }
}

TEST(Address, DevicePortDefaultsTo18810) {
  EXPECT_EQ(ParseDevice("10.0.0.1")->port, 18810);
  EXPECT_EQ(ParseDevice("10.0.0.1:2000")->port, 2000);
  EXPECT_EQ(ParseDevice("10.0.0.1:2000")->ToString(), "10.0.0.1:2000");
  for (const char* bad : {"10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:x", ":80"}) {
    EXPECT_FALSE(ParseDevice(bad)) << bad;
  }
}

}  // namespace
}  // namespace quento::connection
