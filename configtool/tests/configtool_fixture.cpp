#include "configtool_fixture.h"

#include <json-c/json.h>

#include <gtest/gtest.h>

namespace cttest {

Store::Store(const std::map<int, std::string>& values) {
  std::string content;
  for (const auto& kv : values) content += std::to_string(kv.first) + "=" + kv.second + "\n";
  box_.write("/var/apmib/store.txt", content);
}

hbntest::Result Store::configtool(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"configtool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return hbntest::run(argv);
}

std::string Store::get(int id) const {
  hbntest::Result r = hbntest::run({"mibctl", "get", std::to_string(id)});
  EXPECT_EQ(r.status, 0) << "mibctl get " << id << ": " << r.err;
  if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
  return r.out;
}

void Store::set(int id, const std::string& value) const {
  hbntest::Result r = hbntest::run({"mibctl", "set", std::to_string(id), value});
  EXPECT_EQ(r.status, 0) << "mibctl set " << id << ": " << r.err;
}

std::map<int, std::string> Store::list() const {
  hbntest::Result r = hbntest::run({"mibctl", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<int, std::string> values;
  size_t start = 0;
  while (start < r.out.size()) {
    size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    std::string line = r.out.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[std::stoi(line.substr(0, eq))] = line.substr(eq + 1);
    start = end + 1;
  }
  return values;
}

std::string Store::file() const { return box_.read("/var/apmib/store.txt"); }

std::string Store::dumpCfg() const {
  hbntest::Result r = configtool({"dumpJsonCfg", path("dump.json")});
  EXPECT_EQ(r.status, 0) << r.err;
  return readTmp("dump.json");
}

std::string Store::dumpSvr() const {
  hbntest::Result r = configtool({"dumpJsonSvr", path("dump.json")});
  EXPECT_EQ(r.status, 0) << r.err;
  return readTmp("dump.json");
}

std::string Store::load(const char* op, const std::string& document) const {
  writeTmp("in.json", document);
  hbntest::Result r = configtool({op, path("in.json"), path("err.json")});
  EXPECT_EQ(r.status, 0) << r.err;
  return existsTmp("err.json") ? readTmp("err.json") : "<none>";
}

std::string Store::loadCfg(const std::string& document) const { return load("loadJsonCfg", document); }
std::string Store::loadSvr(const std::string& document) const { return load("loadJsonSvr", document); }

std::string jsonAt(const std::string& text, const std::string& path) {
  json_object* root = json_tokener_parse(text.c_str());
  if (root == nullptr) return "<not json>";
  json_object* node = root;
  size_t start = 0;
  while (node != nullptr && start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string key = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    json_object* next = nullptr;
    if (!json_object_object_get_ex(node, key.c_str(), &next)) next = nullptr;
    node = next;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string out =
      node && json_object_is_type(node, json_type_string) ? json_object_get_string(node) : "<missing>";
  json_object_put(root);
  return out;
}

}  // namespace cttest
