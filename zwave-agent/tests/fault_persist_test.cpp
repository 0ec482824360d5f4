// The Z-Wave agent's persistent writes under faults: the settings store and the update hand-off
// killed with SIGKILL at any moment, 100 times each, and a full file system under the settings
// store, the hand-off files and the version file. Each file afterwards holds its old or its new
// content whole, and the agent starts again on it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_cloud_agent_fixture.h"
#include "handoff.h"
#include "hbn_fault.h"
#include "hbn_nvm.h"
#include "hbn_path.h"
#include "hbn_test.h"

namespace {

std::vector<uint8_t> image(uint8_t fill) {
  std::vector<uint8_t> bytes(HBN_NVM_SIZE, fill);
  const uint8_t magic[4] = {'H', 'N', 'V', 'M'};
  std::copy(magic, magic + 4, bytes.begin());
  return bytes;
}

// Runs `write` over and over in a child process and kills it after `delayUs`; true when the
// kill landed while the child was still writing.
bool killDuring(const std::function<void(int)>& write, long delayUs) {
  pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0;; ++i) write(i);
  }
  if (pid < 0) return false;
  std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

TEST(PersistFaults, KilledSettingsWritesLeaveOldOrNewImage) {
  hbntest::Sandbox sb;
  const std::string live = HBN_path(HBN_NVM_LIVE_PATH);
  sb.mkdirs("/jffs2/hbn");
  const auto a = image(0xA5), b = image(0x5A);
  ASSERT_EQ(HBN_nvm_coreWrite(live.c_str(), a.data(), HBN_NVM_SIZE), 0);
  for (int round = 0; round < 100; ++round) {
    ASSERT_TRUE(
        killDuring([&](int i) { HBN_nvm_coreWrite(live.c_str(), (i % 2 ? a : b).data(), HBN_NVM_SIZE); },
                   300 + (round * 53) % 4000));
    std::string now = sb.read(HBN_NVM_LIVE_PATH);
    ASSERT_TRUE(now == std::string(a.begin(), a.end()) || now == std::string(b.begin(), b.end()))
        << "round " << round << ": " << now.size() << " bytes";
  }
  // The agent's settings store starts on what is there.
  ASSERT_EQ(HBN_nvm_initialize(0), 0);
  HBN_nvm_finalize();
}

TEST(PersistFaults, KilledHandoffWritesLeaveAWholeConfiguration) {
  hbntest::Sandbox sb;
  sb.mkdirs("/var");
  const std::string one = "http://a/1.bin\nhttp://a/1.md5\n", two = "http://b/2.bin\nhttp://b/2.md5\ncert\n";
  for (int round = 0; round < 100; ++round) {
    ASSERT_TRUE(killDuring(
        [](int i) {
          if (i % 2)
            hbn::writeUpdateHandoff("test", "http://a/1.bin", "http://a/1.md5", hbn::kFirmwareHandoff);
          else
            hbn::writeUpdateHandoff("test", "http://b/2.bin", "http://b/2.md5", hbn::kCertificateHandoff);
        },
        200 + (round * 41) % 3000));
    if (!sb.exists("/var/kv_cloudfwd.conf")) continue;  // killed before the first rename
    std::string conf = sb.read("/var/kv_cloudfwd.conf");
    ASSERT_TRUE(conf == one || conf == two) << "round " << round << ": " << conf;
  }
}

// Every persistent write on a full file system fails with its log line and keeps the old file.
TEST(PersistFaults, FullFileSystemKeepsSettingsAndHandoff) {
  if (!hbntest::needRootFor("a tmpfs mount")) return;
  hbntest::Sandbox sb;
  hbntest::SmallTmpfs jffs2(sb.path("/jffs2/hbn"), 64);
  hbntest::SmallTmpfs var(sb.path("/var"), 64);
  ASSERT_TRUE(jffs2.ok() && var.ok());
  const std::string live = HBN_path(HBN_NVM_LIVE_PATH);
  const auto a = image(0xA5), b = image(0x5A);
  ASSERT_EQ(HBN_nvm_coreWrite(live.c_str(), a.data(), HBN_NVM_SIZE), 0);
  ASSERT_EQ(hbn::writeUpdateHandoff("test", "http://a/1.bin", "http://a/1.md5", hbn::kFirmwareHandoff), 1);
  ASSERT_TRUE(jffs2.fill() && var.fill());

  EXPECT_EQ(HBN_nvm_coreWrite(live.c_str(), b.data(), HBN_NVM_SIZE), -1);
  EXPECT_EQ(sb.read(HBN_NVM_LIVE_PATH), std::string(a.begin(), a.end()));
  EXPECT_FALSE(sb.exists(std::string(HBN_NVM_LIVE_PATH) + ".tmp"));
  EXPECT_EQ(hbn::writeUpdateHandoff("test", "http://b/2.bin", "http://b/2.md5", hbn::kFirmwareHandoff), 0);
  EXPECT_EQ(sb.read("/var/kv_cloudfwd.conf"), "http://a/1.bin\nhttp://a/1.md5\n");
  EXPECT_FALSE(sb.exists("/var/kv_cloudfwd.conf.tmp"));
}

// The agent starting with a full /var keeps the previous version file whole and says so.
TEST(PersistFaults, FullFileSystemKeepsTheVersionFile) {
  if (!hbntest::needRootFor("a tmpfs mount")) return;
  e2e::AgentWorld world(false);
  std::string queue = hbntest::uniqueName("/fault_persist");
  setenv("HBN_SCRIPT_QUEUE", queue.c_str(), 1);
  ASSERT_EQ(world.seed(), "");
  hbntest::SmallTmpfs var(world.sandbox().path("/var"), 64);
  ASSERT_TRUE(var.ok());
  world.sandbox().write("/var/pqv_version", "01.00.00.00");
  ASSERT_TRUE(var.fill());
  ASSERT_TRUE(world.broker().start());
  ASSERT_TRUE(world.startGateway());
  ASSERT_TRUE(world.startAgent());
  EXPECT_TRUE(world.waitErr("version file write fail\n", 1, 8000)) << world.err();
  EXPECT_EQ(world.sandbox().read("/var/pqv_version"), "01.00.00.00");
  EXPECT_TRUE(world.agent().running());
  world.agent().kill();
  unsetenv("HBN_SCRIPT_QUEUE");
}

}  // namespace
