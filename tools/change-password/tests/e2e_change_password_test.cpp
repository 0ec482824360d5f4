// change-password as a program: store values set with mibctl, templates and a scripted
// passwd in the sandbox.
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "hbn_test.h"

namespace {

const char kPasswdTemplate[] =
    "root:x:0:0:root:/root:/bin/sh\n"
    "kv_tx440:x:1000:1000:user:/home/kv_tx440:/bin/sh\n"
    "kv_tx4400:x:1001:1001::/:/bin/false\n";
const char kShadowTemplate[] =
    "root:*:0:0:99999:7:::\n"
    "kv_tx440:$1$abc$def:0:0:99999:7:::";  // last line without a line end

class ChangePassword : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.write("/etc/passwd_orig", kPasswdTemplate, 0644);
    box_.write("/etc/shadow.sample", kShadowTemplate, 0600);
  }
  void store(const std::string& user, const std::string& password) {
    ASSERT_EQ(hbntest::run({"mibctl", "set", "1428", user}).status, 0);
    ASSERT_EQ(hbntest::run({"mibctl", "set", "1429", password}).status, 0);
  }
  // A passwd that prints each prompt of `prompts` and records the answer to it (the answer
  // is read byte by byte, `answerLength` bytes, since none ends with a line break).
  void fakePasswd(const std::vector<std::string>& prompts, size_t answerLength, const std::string& last) {
    std::string body;
    for (const auto& p : prompts) {
      body += "printf '" + p + "'\n";
      body += "dd bs=1 count=" + std::to_string(answerLength) + " 2>/dev/null >> '" +
              box_.path("/record/answers") + "'\necho >> '" + box_.path("/record/answers") + "'\n";
    }
    body += "printf '" + last + "'\n";
    box_.fakeCommand("passwd", body);
  }
  hbntest::Sandbox box_;
};

TEST_F(ChangePassword, RewritesAccountsAndAnswersBothPrompts) {
  // A line longer than one read piece whose continuation starts like the template account.
  const std::string longLine = "x" + std::string(254, 'y') + "kv_tx440:not-an-account\n";
  box_.write("/etc/passwd_orig", std::string(kPasswdTemplate) + longLine, 0644);
  store("alice", "s3cret!");
  fakePasswd({"New password:", "Retype password:"}, 7, "passwd: password for alice changed by root\n");

  hbntest::Result r = hbntest::run({"change-password"}, {}, "", 5000);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(box_.read("/var/passwd"),
            "root:x:0:0:root:/root:/bin/sh\n"
            "alice:x:1000:1000:user:/home/kv_tx440:/bin/sh\n"
            "kv_tx4400:x:1001:1001::/:/bin/false\n" +
                longLine);
  EXPECT_EQ(box_.read("/var/shadow"), "root:*:0:0:99999:7:::\nalice:$1$abc$def:0:0:99999:7:::");
  struct stat st = {};
  ASSERT_EQ(stat(box_.path("/var/shadow").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(box_.recorded("passwd"), "alice\n");
  EXPECT_EQ(box_.read("/record/answers"), "s3cret!\ns3cret!\n");  // no line end added by the tool
}

TEST_F(ChangePassword, EveryRetypePromptGetsThePassword) {
  store("bob", "pw");
  fakePasswd({"New password:", "Retype password:", "Retype password:"}, 2, "done\n");
  hbntest::Result r = hbntest::run({"change-password"}, {}, "", 5000);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box_.read("/record/answers"), "pw\npw\npw\n");
}

TEST_F(ChangePassword, NothingConfiguredChangesNothing) {
  box_.fakeCommand("passwd");
  for (const auto& values : std::vector<std::pair<std::string, std::string>>{{"", "pw"}, {"carol", ""}}) {
    store(values.first, values.second);
    hbntest::Result r = hbntest::run({"change-password"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(box_.exists("/var/passwd"));
    EXPECT_FALSE(box_.exists("/var/shadow"));
    EXPECT_EQ(box_.recorded("passwd"), "");
  }
}

TEST_F(ChangePassword, AccountFileFailures) {
  box_.fakeCommand("passwd");
  store("dave", "pw");
  // No shadow template: the new password file stays, the run fails before passwd.
  ASSERT_EQ(remove(box_.path("/etc/shadow.sample").c_str()), 0);
  hbntest::Result r = hbntest::run({"change-password"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "change user: No such file or directory\n");
  EXPECT_NE(box_.read("/var/passwd").find("dave:x:1000"), std::string::npos);
  EXPECT_FALSE(box_.exists("/var/shadow"));

  // The copy cannot be created.
  box_.write("/etc/shadow.sample", kShadowTemplate, 0600);
  box_.mkdirs("/var/shadow/blocked");
  r = hbntest::run({"change-password"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("change user: ", 0), 0u) << r.err;
  EXPECT_FALSE(box_.exists("/var/shadow.new"));
  EXPECT_EQ(box_.recorded("passwd"), "");
}

TEST_F(ChangePassword, UnsafeUserNameIsRefused) {
  box_.fakeCommand("passwd");
  store("eve:x:0:0", "pw");
  hbntest::Result r = hbntest::run({"change-password"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERR:invalid login user name\n");
  EXPECT_FALSE(box_.exists("/var/passwd"));
}

TEST_F(ChangePassword, DialogueFailures) {
  store("frank", "pw");
  // No passwd program: the child ends at once and the dialogue is skipped.
  hbntest::Result r = hbntest::run({"change-password"}, {}, "", 5000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("popen2: ", 0), 0u) << r.err;
  EXPECT_TRUE(box_.exists("/var/shadow"));

  // A passwd that stops reading before the answer.
  box_.fakeCommand("passwd", "exec 0<&-\nprintf 'New password:'\nsleep 0.3");
  r = hbntest::run({"change-password"}, {}, "", 5000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "write: Broken pipe\n");
}

}  // namespace
