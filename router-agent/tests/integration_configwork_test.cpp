// Configuration loads and dumps with the build's configtool (slowed down behind a recording
// script so runs overlap): loads from several threads and from another process at once each get
// their own error document; a stale error document does not make a good load look refused;
// documents larger than the payload buffer are refused.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "config_work.h"
#include "hbn_log_capture.h"
#include "hbn_test.h"
#include "hbn_wait.h"

namespace {

class ConfigWork : public ::testing::Test {
 protected:
  void SetUp() override {
    // Slow enough that unserialised runs would overwrite each other's work files.
    sandbox_.fakeCommand("configtool",
                         "sleep 0.1; exec " + hbntest::programCommandLine("configtool") + " \"$@\"");
  }
  // A settings document whose only error names `key`.
  static std::string badDocument(const std::string& key) { return "{\"setting\":{\"" + key + "\":\"x\"}}"; }
  // Loads `document` `rounds` times; the number of rounds whose error document named `key` and
  // no other test key.
  static int loadsOwnErrors(const std::string& key, int rounds) {
    int own = 0;
    for (int i = 0; i < rounds; ++i) {
      std::vector<char> out(65537);
      long length = 0;
      std::string doc = badDocument(key);
      hbn::ConfigLoad r = hbn::runConfigLoad("test", doc.data(), static_cast<int>(doc.size()), false,
                                             "config/noreboot/err", out.data(), out.size(), &length);
      std::string text(out.data(), static_cast<size_t>(length));
      bool mine = r == hbn::kLoadRefused && text.find(key) != std::string::npos;
      for (const char* other : {"keyOfThreadA", "keyOfThreadB", "keyOfChild"})
        if (key != other && text.find(other) != std::string::npos) mine = false;
      own += mine ? 1 : 0;
    }
    return own;
  }

  hbntest::Sandbox sandbox_;
};

// Two threads and a second process load at the same time: every error document belongs to its
// own request, and every load ran (none gave up waiting for the lock).
TEST_F(ConfigWork, ConcurrentLoadsNeverMix) {
  const int rounds = 4;
  // The child starts before this process has threads of its own.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(loadsOwnErrors("keyOfChild", rounds) == rounds ? 0 : 1);
  int a = 0, b = 0;
  std::thread ta([&] { a = loadsOwnErrors("keyOfThreadA", rounds); });
  std::thread tb([&] { b = loadsOwnErrors("keyOfThreadB", rounds); });
  ta.join();
  tb.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(a, rounds);
  EXPECT_EQ(b, rounds);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Every load ran configtool once.
  EXPECT_EQ(hbntest::countOf(sandbox_.recorded("configtool"), "loadJsonCfg"),
            static_cast<size_t>(3 * rounds));
}

TEST_F(ConfigWork, StaleErrorDocumentDoesNotRefuseAGoodLoad) {
  sandbox_.write("/tmp/tmpErr.json", "{\"stale\":1}");
  const std::string doc = "{\"setting\":{\"mode\":\"mobile\"}}";
  char out[1024];
  long length = -1;
  EXPECT_EQ(hbn::runConfigLoad("test", doc.data(), static_cast<int>(doc.size()), false, "config/reboot/err",
                               out, sizeof out, &length),
            hbn::kLoadDone);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(sandbox_.read("/tmp/tmpCfg.json"), doc);
  EXPECT_FALSE(sandbox_.exists("/tmp/tmpErr.json"));
}

// An error document or a dump that does not fit is refused with its log line, never cut.
TEST_F(ConfigWork, OversizedDocumentsAreRefused) {
  hbntest::SyslogRecorder log;
  const std::string doc = badDocument("someUnknownKey");
  char small[16];
  long length = 0;
  EXPECT_EQ(hbn::runConfigLoad("loader", doc.data(), static_cast<int>(doc.size()), false, "config/reboot/err",
                               small, sizeof small, &length),
            hbn::kLoadFailed);
  EXPECT_TRUE(hbntest::loggedBy("loader", "MQTT payload too long:config/reboot/err\n"));
  EXPECT_FALSE(sandbox_.exists("/tmp/tmpErr.json"));
  EXPECT_EQ(
      hbn::runConfigDump("dumper", hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user", small, sizeof small),
      -2);
  EXPECT_TRUE(hbntest::loggedBy("dumper", "MQTT payload too long:config/user\n"));
  EXPECT_FALSE(sandbox_.exists("/tmp/dumpCfg.json"));
  std::vector<char> big(65536);
  long dumped = hbn::runConfigDump("dumper", hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user", big.data(),
                                   big.size());
  ASSERT_GT(dumped, 0);
  EXPECT_NE(std::string(big.data(), static_cast<size_t>(dumped)).find("\"setting\""), std::string::npos);
}

}  // namespace
