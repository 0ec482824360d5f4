// mib-exchange over a store that cuts, refuses or fails: nothing is committed unless the
// value reads back exactly as given. (The stand-in store holds 31 characters for this id, so
// it cannot cut a 30-character password; the scripted store does.)
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mib_exchange.h"
#include "scripted_apmib.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

Outcome exchange(std::vector<std::string> args) {
  args.insert(args.begin(), "mib-exchange");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  int status = mibExchange_run(static_cast<int>(args.size()), argv.data(), out);
  fclose(out);
  Outcome o{status, std::string(text, size)};
  free(text);
  return o;
}

class MibExchangeStore : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted_apmib::script = {};
    scripted_apmib::script.value = "old";
    scripted_apmib::calls = {};
  }
};

TEST_F(MibExchangeStore, GoodReplacementIsCommittedOnce) {
  Outcome o = exchange({std::string(30, 'p')});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "exchange successful\n");
  EXPECT_EQ(scripted_apmib::script.value, std::string(30, 'p'));
  EXPECT_EQ(scripted_apmib::calls.updates, std::vector<int>{4});
}

TEST_F(MibExchangeStore, FaultsAreNeverCommitted) {
  struct Case {
    const char* name;
    size_t keepChars;
    bool refuseSet;
    bool failUpdate;
    size_t updates;
  };
  const Case cases[] = {
      {"store cuts the text", 20, false, false, 0},
      {"store refuses the set", 1000, true, false, 0},
      {"commit fails", 1000, false, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    scripted_apmib::script.keepChars = c.keepChars;
    scripted_apmib::script.refuseSet = c.refuseSet;
    scripted_apmib::script.failUpdate = c.failUpdate;
    Outcome o = exchange({std::string(25, 'q')});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "exchange faild\n");
    EXPECT_EQ(scripted_apmib::calls.updates.size(), c.updates);
  }
}

TEST_F(MibExchangeStore, RefusedLengthsNeverReachTheStore) {
  for (const std::string& arg : {std::string(), std::string(31, 'x'), std::string(4000, 'x')}) {
    SetUp();
    Outcome o = exchange({arg});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "exchange faild\n");
    EXPECT_EQ(scripted_apmib::calls.init + scripted_apmib::calls.set + scripted_apmib::calls.get, 0);
  }
}

}  // namespace
