#include <gtest/gtest.h>

#include "hbn_test.h"
#include "zipgw_sim_client.h"

TEST(ZipSimHex, RoundTrip) {
  EXPECT_EQ(zipgwsim::toHex(zipgwsim::fromHex("23 02,8a")), "23028A");
  EXPECT_TRUE(zipgwsim::fromHex("2").empty());
}
