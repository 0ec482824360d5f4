// Certificate expiry for the payloads: the date follows the file's content, whatever happens
// to the file between two calls.
#include "cert_expiry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cert_files.h"
#include "hbn_test.h"

namespace {

std::string expiry(const char* path) {
  char out[32];
  hbn::certificateExpiry(path, out, sizeof out);
  return out;
}

TEST(CertExpiry, FollowsTheFileThroughEveryChange) {
  hbntest::Sandbox box;
  const char* kPath = "/jffs2/mqtt/cloud/client.crt";
  const std::string file = box.path(kPath);
  box.mkdirs("/jffs2/mqtt/cloud");
  EXPECT_EQ(expiry(kPath), "");  // not there yet

  ASSERT_TRUE(certfiles::writeCert(file, "200131090000Z", "300131085959Z"));
  EXPECT_EQ(expiry(kPath), "2030-01-31");
  EXPECT_EQ(expiry(kPath), "2030-01-31");  // unchanged file, same answer

  // Rewritten in place at once: same file, new content (the clock may not have moved).
  ASSERT_TRUE(certfiles::writeCert(file, "200131090000Z", "310505085959Z"));
  EXPECT_EQ(expiry(kPath), "2031-05-05");

  // Replaced by a rename, as an update does.
  const std::string temp = box.path("/jffs2/mqtt/cloud/new.crt");
  ASSERT_TRUE(certfiles::writeCert(temp, "200131090000Z", "20510228235959Z"));
  ASSERT_EQ(std::rename(temp.c_str(), file.c_str()), 0);
  EXPECT_EQ(expiry(kPath), "2051-02-28");

  box.write(kPath, "not a certificate\n");
  EXPECT_EQ(expiry(kPath), "");
  ASSERT_EQ(std::remove(file.c_str()), 0);
  EXPECT_EQ(expiry(kPath), "");
  ASSERT_TRUE(certfiles::writeCert(file, "200131090000Z", "300131085959Z"));
  EXPECT_EQ(expiry(kPath), "2030-01-31");
}

TEST(CertExpiry, KeepsEachFileApartAndCutsToTheBuffer) {
  hbntest::Sandbox box;
  box.mkdirs("/jffs2/mqtt/cloud");
  box.mkdirs("/jffs2/mqtt/ota");
  ASSERT_TRUE(
      certfiles::writeCert(box.path("/jffs2/mqtt/cloud/client.crt"), "200131090000Z", "300131085959Z"));
  ASSERT_TRUE(certfiles::writeCert(box.path("/jffs2/mqtt/ota/client.crt"), "200131090000Z", "350704120000Z"));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(expiry("/jffs2/mqtt/cloud/client.crt"), "2030-01-31");
    EXPECT_EQ(expiry("/jffs2/mqtt/ota/client.crt"), "2035-07-04");
  }
  char small[5];
  hbn::certificateExpiry("/jffs2/mqtt/ota/client.crt", small, sizeof small);
  EXPECT_STREQ(small, "2035");
}

}  // namespace
