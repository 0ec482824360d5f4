// gettlsterm as a program: its two lines, its error line and its argument check.
#include <string>

#include <gtest/gtest.h>

#include "cert_files.h"
#include "hbn_test.h"

namespace {

TEST(GetTlsTerm, PrintsStartAndExpire) {
  hbntest::Sandbox box;
  std::string cert = box.path("/etc/cert.pem");
  ASSERT_TRUE(certfiles::writeCert(cert, "200131090000Z", "300205070809Z"));
  hbntest::Result r = hbntest::run({"gettlsterm", cert});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "start :2020/01/31 09:00:00\nexpire:2030/02/05 07:08:09\n");
  EXPECT_EQ(r.err, "");
}

TEST(GetTlsTerm, ErrorsAndArguments) {
  hbntest::Sandbox box;
  std::string key = box.path("/etc/key.pem");
  ASSERT_TRUE(certfiles::writeKeyOnly(key));
  for (const std::string& file : {key, box.path("/etc/missing.pem")}) {
    hbntest::Result r = hbntest::run({"gettlsterm", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR:get cert date information(-3)\n");
  }
  for (const auto& args : std::vector<std::vector<std::string>>{{"gettlsterm"}, {"gettlsterm", key, key}}) {
    hbntest::Result r = hbntest::run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out + r.err, "");
  }
}

}  // namespace
