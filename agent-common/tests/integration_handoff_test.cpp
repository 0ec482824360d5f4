// The update hand-off written by several agents at once: every document the updater can read is
// one writer's whole document, and no writer fails because another one renamed its file away.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "handoff.h"
#include "hbn_log_capture.h"
#include "hbn_test.h"

namespace {

// Runs `rounds` hand-offs in a child process; its exit status is the number that failed (cut to
// 255).
pid_t writer(const char* url, hbn::HandoffKind kind, int rounds) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int failed = 0;
  hbntest::captureStderr([&] {
    for (int i = 0; i < rounds; ++i)
      failed += hbn::writeUpdateHandoff("writer", url, "http://c/sum", kind) != 1;
  });
  _exit(failed > 255 ? 255 : failed);
}

TEST(Handoff, TwoAgentsAtOnceNeverMixTheirDocuments) {
  hbntest::Sandbox sb;
  const std::string router = "http://router.example/firmware/with/a/much/longer/path.bin";
  const std::string ota = "http://ota/c.pem";
  const std::set<std::string> whole = {router + "\nhttp://c/sum\n", ota + "\nhttp://c/sum\ncert\n"};
  std::atomic<bool> done{false};
  std::set<std::string> seen;
  std::thread watcher([&] {
    while (!done.load()) {
      if (sb.exists("/var/kv_cloudfwd.conf")) seen.insert(sb.read("/var/kv_cloudfwd.conf"));
    }
  });
  pid_t a = writer(router.c_str(), hbn::kFirmwareHandoff, 1500);
  pid_t b = writer(ota.c_str(), hbn::kCertificateHandoff, 1500);
  int statusA = 0, statusB = 0;
  waitpid(a, &statusA, 0);
  waitpid(b, &statusB, 0);
  done = true;
  watcher.join();
  EXPECT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0)
      << "failed hand-offs: " << WEXITSTATUS(statusA);
  EXPECT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0)
      << "failed hand-offs: " << WEXITSTATUS(statusB);
  for (const std::string& document : seen) EXPECT_EQ(whole.count(document), 1u) << document;
  EXPECT_TRUE(sb.exists("/var/kv_cloudfwd.run"));
}

// Links planted at the hand-off's fixed names are replaced, their targets left alone.
TEST(Handoff, LinksAtTheFixedNamesAreReplaced) {
  hbntest::Sandbox sb;
  sb.write("/victim", "precious");
  for (const char* fixed : {"/var/kv_cloudfwd.conf", "/var/kv_cloudfwd.run", "/var/kv_cloudfwd.conf.tmp"})
    ASSERT_EQ(symlink(sb.path("/victim").c_str(), sb.path(fixed).c_str()), 0);
  hbntest::captureStderr([] {
    EXPECT_EQ(hbn::writeUpdateHandoff("writer", "http://a/f", "http://a/c", hbn::kFirmwareHandoff), 1);
  });
  EXPECT_EQ(sb.read("/var/kv_cloudfwd.conf"), "http://a/f\nhttp://a/c\n");
  EXPECT_EQ(sb.read("/victim"), "precious");
}

}  // namespace
