#!/usr/bin/env python3
"""Checks recorded MQTT traffic against an agent's AsyncAPI document.

    contract_check.py DOCUMENT.yaml RECORDS

RECORDS has one JSON object per line, as tests/support/hbn_contract.cpp writes them:
{"topic": ..., "payload": HEX, "qos": 0|1|2, "retain": true|false, "malformed": true|false}.

Every record must match a channel of the document (topic parameters included), carry the QoS
and retain flag of that channel's operation, and have a payload that one of the channel's
messages accepts. Records marked malformed (requests a test sends outside the contract on
purpose) must be refused instead. Prints one line per finding and a summary; exit status 0 when
everything kept the contract, 1 when not, 2 when the checker itself cannot run.

Conventions of our documents that plain AsyncAPI leaves open (all read here):
- contentType application/json: the payload is UTF-8 JSON without duplicate members, validated
  against the payload schema; an object schema with "x-ordered": true also fixes the order of
  the members present (the order of its "properties").
- text/plain: the payload is UTF-8 text, validated as a JSON string.
- application/octet-stream: raw bytes, validated as a string of one character per byte.
- "x-max-bytes" on a message: the payload's size limit in bytes.
- "x-pattern" on a channel parameter: the regular expression its topic text must match (else
  one topic level, "[^/]+").
"""
import json
import os
import re
import sys

try:
    import yaml
    import jsonschema
except ImportError as missing:  # pragma: no cover - environment problem
    print("contract: cannot run the checker (%s); scripts/setup installs python3-jsonschema and "
          "python3-yaml" % missing)
    sys.exit(2)


# ------------------------------------------------------------------ documents and references

class Documents:
    """YAML/JSON files with $ref resolution across files, every reference inlined."""

    def __init__(self):
        self.files = {}

    def load(self, path):
        path = os.path.abspath(path)
        if path not in self.files:
            with open(path, encoding="utf-8") as f:
                self.files[path] = yaml.safe_load(f)
        return self.files[path]

    def pointer(self, node, fragment):
        for part in [p for p in fragment.split("/") if p != ""]:
            part = part.replace("~1", "/").replace("~0", "~")
            node = node[int(part)] if isinstance(node, list) else node[part]
        return node

    def resolved(self, node, base, depth=0):
        if depth > 64:
            raise ValueError("reference chain too deep in %s" % base)
        if isinstance(node, dict):
            if "$ref" in node and isinstance(node["$ref"], str):
                target, _, fragment = node["$ref"].partition("#")
                file = os.path.normpath(os.path.join(os.path.dirname(base), target)) if target else base
                return self.resolved(self.pointer(self.load(file), fragment), file, depth + 1)
            return {k: self.resolved(v, base, depth) for k, v in node.items()}
        if isinstance(node, list):
            return [self.resolved(v, base, depth) for v in node]
        return node


# ------------------------------------------------------------------ the contract

class Channel:
    def __init__(self, cid, spec, action, binding):
        self.id = cid
        self.address = spec["address"]
        self.action = action
        self.qos = binding.get("qos")
        self.retain = binding.get("retain")
        self.messages = list((spec.get("messages") or {}).items())
        params = spec.get("parameters") or {}
        regex, self.params = "", {}
        for literal, name in re.findall(r"([^{]*)(?:\{([^}]*)\})?", self.address):
            regex += re.escape(literal)
            if name:
                p = params.get(name, {})
                self.params[name] = p
                regex += "(?P<%s>%s)" % (name, p.get("x-pattern", "[^/]+"))
        self.regex = re.compile(regex + r"\Z", re.S)

    def match(self, topic):
        m = self.regex.match(topic)
        if m is None:
            return None
        for name, value in m.groupdict().items():
            allowed = self.params[name].get("enum")
            if allowed is not None and value not in allowed:
                return None
        return m


def load_contract(path):
    docs = Documents()
    doc = docs.resolved(docs.load(path), os.path.abspath(path))
    actions = {}
    for oid, op in (doc.get("operations") or {}).items():
        channel = op["channel"]
        bindings = ((op.get("bindings") or {}).get("mqtt")) or {}
        # The reference is inlined: find the channel by its address.
        actions.setdefault(channel["address"], []).append((op["action"], bindings, oid))
    channels = []
    for cid, spec in (doc.get("channels") or {}).items():
        ops = actions.get(spec["address"])
        if not ops:
            raise ValueError("channel %s has no operation" % cid)
        for action, binding, _ in ops:
            channels.append(Channel(cid, spec, action, binding))
    default = doc.get("defaultContentType", "application/json")
    return channels, default


# ------------------------------------------------------------------ payloads

def no_duplicates(pairs):
    seen = {}
    for k, v in pairs:
        if k in seen:
            raise ValueError("duplicate member %r" % k)
        seen[k] = v
    return seen


def reject_constant(word):
    raise ValueError("not JSON: %s" % word)


def valid(instance, schema):
    return jsonschema.Draft7Validator(schema).is_valid(instance)


def order_problems(instance, schema, where="payload"):
    """Members out of the order of "properties" where the schema says "x-ordered"."""
    found = []
    if not isinstance(schema, dict):
        return found
    for sub in schema.get("allOf", []):
        found += order_problems(instance, sub, where)
    for key in ("oneOf", "anyOf"):
        for sub in schema.get(key, []):
            if valid(instance, sub):
                found += order_problems(instance, sub, where)
                break
    if "if" in schema:
        branch = schema.get("then") if valid(instance, schema["if"]) else schema.get("else")
        if branch is not None:
            found += order_problems(instance, branch, where)
    if isinstance(instance, dict):
        props = schema.get("properties", {})
        if schema.get("x-ordered"):
            order = [k for k in props if k in instance]
            present = [k for k in instance if k in props]
            if present != order:
                found.append("%s: members in the order %s, the contract's is %s" % (where, present, order))
        for k, v in instance.items():
            if k in props:
                found += order_problems(v, props[k], "%s.%s" % (where, k))
    if isinstance(instance, list) and isinstance(schema.get("items"), dict):
        for i, v in enumerate(instance):
            found += order_problems(v, schema["items"], "%s[%d]" % (where, i))
    return found


def message_problems(message, payload, default_type):
    """Empty list when `message` accepts the payload bytes, else why not."""
    limit = message.get("x-max-bytes")
    if limit is not None and len(payload) > limit:
        return ["%d bytes, more than the %d the contract allows" % (len(payload), limit)]
    kind = message.get("contentType", default_type)
    schema = message.get("payload", {})
    if isinstance(schema, dict) and "schemaFormat" in schema:
        schema = schema.get("schema", {})
    try:
        if kind == "application/json":
            instance = json.loads(payload.decode("utf-8"), object_pairs_hook=no_duplicates,
                                  parse_constant=reject_constant)
        elif kind == "application/octet-stream":
            instance = payload.decode("latin-1")
        else:
            instance = payload.decode("utf-8")
    except (UnicodeDecodeError, ValueError) as e:
        return ["not %s: %s" % (kind, e)]
    validator = jsonschema.Draft7Validator(schema)
    errors = sorted(validator.iter_errors(instance), key=lambda e: list(e.path))
    found = ["%s: %s" % ("/".join(str(p) for p in e.absolute_path) or "payload", e.message[:300])
             for e in errors]
    if not found:
        found = order_problems(instance, schema)
    return found


def record_problems(record, channels, default_type):
    topic = record["topic"]
    payload = bytes.fromhex(record["payload"])
    matched = [c for c in channels if c.match(topic)]
    if not matched:
        return ["no channel of the contract has this topic"]
    found = []
    for c in matched:
        flags = []
        if c.qos is not None and record.get("qos") != c.qos:
            flags.append("QoS %s, the contract's is %s" % (record.get("qos"), c.qos))
        if c.retain is not None and bool(record.get("retain")) != c.retain:
            flags.append("retain %s, the contract's is %s" % (record.get("retain"), c.retain))
        per_message = []
        for mid, message in c.messages:
            problems = message_problems(message, payload, default_type)
            if not problems:
                per_message = []
                break
            per_message.append("%s (%s): %s" % (c.id, mid, "; ".join(problems[:4])))
        if not flags and not per_message:
            return []
        found += flags + per_message
    return found


def shown(payload_hex, limit=160):
    raw = bytes.fromhex(payload_hex)
    text = raw[:limit].decode("utf-8", "backslashreplace")
    return repr(text) + ("... (%d bytes)" % len(raw) if len(raw) > limit else "")


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    try:
        channels, default_type = load_contract(argv[1])
        for c in channels:
            for _, message in c.messages:
                schema = message.get("payload", {})
                jsonschema.Draft7Validator.check_schema(schema.get("schema", schema)
                                                        if "schemaFormat" in schema else schema)
    except Exception as e:  # a broken document is a finding of its own
        print("contract: %s cannot be used: %s" % (argv[1], e))
        return 1
    failures = 0
    counts = {"send": 0, "receive": 0, "malformed": 0}
    with open(argv[2], encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    for n, record in enumerate(records, 1):
        problems = record_problems(record, channels, default_type)
        if record.get("malformed"):
            counts["malformed"] += 1
            if not problems:
                failures += 1
                print("contract: record %d marked malformed, but the contract accepts it: %s %s"
                      % (n, record["topic"], shown(record["payload"])))
            continue
        matched = [c for c in channels if c.match(record["topic"])]
        counts[matched[0].action if matched else "send"] += 1
        if problems:
            failures += 1
            print("contract: record %d %s %s" % (n, record["topic"], shown(record["payload"])))
            for p in problems:
                print("    " + p)
    print("contract %s: %d published by the agent, %d requests, %d malformed requests; %d findings"
          % (os.path.basename(argv[1]), counts["send"], counts["receive"], counts["malformed"], failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
