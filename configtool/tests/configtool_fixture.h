// Helpers for the configtool tests: a sandboxed store, the configtool and mibctl programs
// run as child processes, and small JSON accessors.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "hbn_test.h"

namespace cttest {

// A sandbox whose store file starts with `values` (id -> value in store-file notation).
class Store {
 public:
  explicit Store(const std::map<int, std::string>& values = {});
  hbntest::Sandbox& box() { return box_; }
  const hbntest::Sandbox& box() const { return box_; }
  // Runs `configtool args...`; paths in args are used as given.
  hbntest::Result configtool(const std::vector<std::string>& args) const;
  // mibctl get ID ("" and a test failure when it has no value).
  std::string get(int id) const;
  void set(int id, const std::string& value) const;
  // Every id with a value (mibctl list).
  std::map<int, std::string> list() const;
  // The store file as it is on disk.
  std::string file() const;
  // Sandbox file path helpers.
  std::string path(const std::string& name) const { return box_.path("/tmp/" + name); }
  void writeTmp(const std::string& name, const std::string& content) const {
    box_.write("/tmp/" + name, content);
  }
  std::string readTmp(const std::string& name) const { return box_.read("/tmp/" + name); }
  bool existsTmp(const std::string& name) const { return box_.exists("/tmp/" + name); }

  // Dumps (configtool dumpJsonCfg / dumpJsonSvr) and returns the file's text.
  std::string dumpCfg() const;
  std::string dumpSvr() const;
  // Loads `document` with loadJsonCfg / loadJsonSvr; returns the error file's text, or
  // "<none>" when the load removed it.
  std::string loadCfg(const std::string& document) const;
  std::string loadSvr(const std::string& document) const;

 private:
  std::string load(const char* op, const std::string& document) const;
  hbntest::Sandbox box_;
};

// Value at "a/b/c" of a JSON text (string values only); "<missing>" when absent.
std::string jsonAt(const std::string& text, const std::string& path);

}  // namespace cttest
