// mibctl: read and change configuration-store ids from the command line.
//   mibctl get ID        print the value (numbers decimal, addresses dotted, text as is)
//   mibctl set ID VALUE [ID VALUE...]  parse and set each, then commit them together
//   mibctl list          "ID=VALUE" for every id that has a value
// Exit status: 0 done, 1 refused (unknown id, bad value, no value, commit failed), 2 usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "apmib.h"
#include "apmib_ids_internal.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: mibctl get ID | mibctl set ID VALUE [ID VALUE...] | mibctl list\n");
  return 2;
}

const apmib_ids::IdDef* lookup(const char* text) {
  errno = 0;
  char* end = nullptr;
  long id = std::strtol(text, &end, 10);
  const apmib_ids::IdDef* def = nullptr;
  if (errno == 0 && end != text && *end == '\0' && id >= 0 && id <= 1000000)
    def = apmib_ids::find(static_cast<int>(id));
  if (def == nullptr) std::fprintf(stderr, "mibctl: unknown id '%s'\n", text);
  return def;
}

const char* kindName(apmib_ids::Kind kind) {
  switch (kind) {
    case apmib_ids::Kind::Byte:
      return "a byte (0 to 255)";
    case apmib_ids::Kind::U16:
      return "a 16-bit number (0 to 65535)";
    case apmib_ids::Kind::I32:
      return "a 32-bit signed number";
    case apmib_ids::Kind::Ipv4:
      return "a dotted IPv4 address";
    case apmib_ids::Kind::Text:
      return "text";
  }
  return "?";
}

int get(const apmib_ids::IdDef& def) {
  unsigned char buf[apmib_ids::kMaxSize] = {0};
  if (apmib_get(def.id, buf) != 1) {
    std::fprintf(stderr, "mibctl: id %d has no value\n", def.id);
    return 1;
  }
  std::printf("%s\n", apmib_ids::format(def, buf).c_str());
  return 0;
}

// Sets one value in the working copy; the commit follows all of them.
int set(const apmib_ids::IdDef& def, const char* text) {
  unsigned char buf[apmib_ids::kMaxSize] = {0};
  if (!apmib_ids::parse(def, text, buf)) {
    if (def.kind == apmib_ids::Kind::Text)
      std::fprintf(stderr, "mibctl: value for id %d is too long (at most %d characters)\n", def.id,
                   def.size - 1);
    else
      std::fprintf(stderr, "mibctl: value '%s' for id %d is not %s\n", text, def.id, kindName(def.kind));
    return 1;
  }
  if (apmib_set(def.id, buf) != 1) {
    std::fprintf(stderr, "mibctl: cannot set id %d\n", def.id);
    return 1;
  }
  return 0;
}

// Every pair is checked and set before the one commit: a refused pair commits nothing.
int setAll(int count, char** pairs) {
  apmib_init();
  for (int i = 0; i < count; i += 2) {
    const apmib_ids::IdDef* def = lookup(pairs[i]);
    if (def == nullptr || set(*def, pairs[i + 1]) != 0) return 1;
  }
  if (apmib_update(4) != 1) {
    std::fprintf(stderr, "mibctl: cannot commit: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

int list() {
  size_t count = 0;
  const apmib_ids::IdDef* defs = apmib_ids::all(&count);
  for (size_t i = 0; i < count; ++i) {
    unsigned char buf[apmib_ids::kMaxSize] = {0};
    if (apmib_get(defs[i].id, buf) == 1)
      std::printf("%d=%s\n", defs[i].id, apmib_ids::format(defs[i], buf).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string op = argv[1];
  if (op == "list" && argc == 2) {
    apmib_init();
    return list();
  }
  if (op == "get" && argc == 3) {
    const apmib_ids::IdDef* def = lookup(argv[2]);
    if (def == nullptr) return 1;
    apmib_init();
    return get(*def);
  }
  if (op == "set" && argc >= 4 && argc % 2 == 0) return setAll(argc - 2, argv + 2);
  return usage();
}
