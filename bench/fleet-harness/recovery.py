#!/usr/bin/env python3
"""Reads the fleet benchmark's stamped logs (every line "epoch_ms text", written by stamp()).

  recovery.py stamp                         stdin to stdout, each line prefixed with epoch_ms
  recovery.py back BOXES T0 T1 FILE...      when the boxes announced again after T0 (epoch ms)
  recovery.py connects T0 T1 FILE           connection attempts per 1 s bucket in [T0, T1)
  recovery.py load T0 T1 SESSIONS FILE      the load client's "epoch_ms connected cpu_ms stuck" lines
  recovery.py on-node NODE HAPROXY_LOG SS_FILE BOXES_DIR
                                            "box agent" for every session HAProxy put on NODE

With a session list (BACK_ONLY=FILE in the environment, from on-node) a box is back once the
agents of the list announced again: the others never lost their session.

A box is back when all three of its agents announced after T0: the Z-Wave agent "connected",
the router agent "connected", the OTA agent its "version" document. FILE is a Mosquitto log
(its PUBLISH lines name client and topic) or a watch file of bench_fleet_cloud
("epoch_ms topic kind"). Connection attempts are Mosquitto's "New connection from" (a TCP
accept, each followed by a TLS handshake on the TLS listener), with "New client connected"
(an accepted CONNECT) counted beside; in an HAProxy log every line is one accepted connection.
"""
import re
import sys
import time

PUBLISH = re.compile(r"Received PUBLISH from (\S+) \(.*?'(gw/[^']*)'")
ZW_CONNECTED = re.compile(r"^gw/fleet/ZW(\d+)/connected$")
RT_CONNECTED = re.compile(r"^gw/fleet/RT(\d+)/connected$")
VERSION = re.compile(r"^gw/fleet/ZW(\d+)/version$")


def stamp():
    out = sys.stdout
    for line in sys.stdin:
        out.write("%.1f %s" % (time.time() * 1000.0, line))
        out.flush()


def lines(path, t0, t1):
    with open(path, errors="replace") as f:
        for line in f:
            head, _, rest = line.partition(" ")
            try:
                at = float(head)
            except ValueError:
                continue
            if t0 <= at < t1:
                yield at, rest.rstrip("\n")


def announcements(path, t0, t1):
    """(at, agent, box) for every announcement in the file."""
    for at, rest in lines(path, t0, t1):
        m = PUBLISH.search(rest)
        if m:
            client, topic = m.group(1), m.group(2)
            ota = client.endswith("-OTA")
        else:
            parts = rest.split(" ")
            if len(parts) < 2:
                continue
            topic, ota = parts[0], parts[1] == "ota"
        for agent, pattern in (("zw", ZW_CONNECTED), ("rt", RT_CONNECTED)):
            hit = pattern.match(topic)
            if hit and not ota:
                yield at, agent, int(hit.group(1))
        hit = VERSION.match(topic)
        if hit and ota:
            yield at, "ota", int(hit.group(1))


def percentile_time(times, boxes, share):
    need = max(1, -(-boxes * share // 100))
    return (times[need - 1]) if len(times) >= need else None


def fmt(seconds):
    return "-" if seconds is None else "%.1f" % seconds


# Program names as the kernel keeps them (15 characters) start so.
AGENTS = (("zwave-cloud", "zw"), ("router-cloud", "rt"), ("ota-agent", "ota"))


def on_node(node, haproxy_log, ss_file, boxes_dir):
    """Sessions that HAProxy handed to NODE: the agents' connections to the entry port (ss -tnp)
    matched by source port with HAProxy's log lines."""
    import os
    server_of = {}
    with open(haproxy_log, errors="replace") as f:
        for line in f:
            m = re.search(r" 127\.0\.0\.1:(\d+) \[.*\] mqtt_tls~ rabbit/(\S+)", line)
            if m:
                server_of[m.group(1)] = m.group(2)
    box_of = {}
    for name in os.listdir(boxes_dir):
        try:
            with open(os.path.join(boxes_dir, name, "pids")) as f:
                for pid in f.read().split():
                    box_of[pid] = int(name)
        except OSError:
            continue
    with open(ss_file) as f:
        for line in f:
            m = re.search(r"127\.0\.0\.1:(\d+)\s+127\.0\.0\.1:\d+\s+users:\(\(\"([^\"]+)\",pid=(\d+)", line)
            if not m:
                continue
            port, program, pid = m.groups()
            agent = next((a for prefix, a in AGENTS if program.startswith(prefix)), None)
            if server_of.get(port) == node and pid in box_of and agent:
                print("%d %s" % (box_of[pid], agent))


def back(boxes, t0, t1, files):
    import os
    only = None
    if os.environ.get("BACK_ONLY"):
        only = set()
        with open(os.environ["BACK_ONLY"]) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    only.add((int(parts[0]), parts[1]))
    seen = {}
    if only is not None:
        for box in range(1, boxes + 1):
            for agent in ("zw", "rt", "ota"):
                if (box, agent) not in only:
                    seen[(box, agent)] = t0
    for path in files:
        for at, agent, box in announcements(path, t0, t1):
            key = (box, agent)
            if key not in seen or at < seen[key]:
                seen[key] = at
    done = []
    for box in range(1, boxes + 1):
        ats = [seen.get((box, a)) for a in ("zw", "rt", "ota")]
        if all(a is not None for a in ats):
            done.append((max(ats) - t0) / 1000.0)
    done.sort()
    print("BACK %s %s %s %d %d" % (fmt(percentile_time(done, boxes, 50)), fmt(percentile_time(done, boxes, 95)),
                                   fmt(percentile_time(done, boxes, 100)), boxes - len(done), len(done)))


def connects(t0, t1, path):
    tcp, mqtt = {}, {}
    haproxy = True
    for at, rest in lines(path, t0, t1):
        bucket = int((at - t0) // 1000)
        if "New connection from" in rest:
            tcp[bucket] = tcp.get(bucket, 0) + 1
            haproxy = False
        elif "New client connected from" in rest:
            mqtt[bucket] = mqtt.get(bucket, 0) + 1
            haproxy = False
        elif haproxy and " mqtt_tls" in rest:
            tcp[bucket] = tcp.get(bucket, 0) + 1
    total_tcp, total_mqtt = sum(tcp.values()), sum(mqtt.values())
    series = " ".join("%d:%d/%d" % (b, tcp.get(b, 0), mqtt.get(b, 0)) for b in sorted(set(tcp) | set(mqtt)))
    print("CONNECTS %d %d %d %d %s" % (max(tcp.values(), default=0), max(mqtt.values(), default=0), total_tcp,
                                       total_mqtt, series or "-"))


def load(t0, t1, sessions, path):
    first = {}
    first_cpu = last_cpu = None
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3:
                rows.append((float(parts[0]), int(parts[1]), float(parts[2]), int(parts[3]) if len(parts) > 3 else 0))
    inside = [r for r in rows if t0 <= r[0] < t1]
    for share in (50, 95, 100):
        need = max(1, -(-sessions * share // 100))
        hit = next((r for r in inside if r[1] >= need), None)
        first[share] = None if hit is None else (hit[0] - t0) / 1000.0
    if inside:
        first_cpu, last_cpu = inside[0][2], inside[-1][2]
    never = sessions - (inside[-1][1] if inside else 0)
    cpu = 0.0 if first_cpu is None else (last_cpu - first_cpu) / 1000.0
    stuck = (inside[-1][3] - inside[0][3]) if inside else 0
    print("LOADBACK %s %s %s %d %.2f %d" % (fmt(first[50]), fmt(first[95]), fmt(first[100]), max(0, never), cpu,
                                           stuck))


def main():
    args = sys.argv[1:]
    if args[:1] == ["stamp"]:
        stamp()
    elif args[:1] == ["back"] and len(args) >= 5:
        back(int(args[1]), float(args[2]), float(args[3]), args[4:])
    elif args[:1] == ["connects"] and len(args) == 4:
        connects(float(args[1]), float(args[2]), args[3])
    elif args[:1] == ["on-node"] and len(args) == 5:
        on_node(args[1], args[2], args[3], args[4])
    elif args[:1] == ["load"] and len(args) == 5:
        load(float(args[1]), float(args[2]), int(args[3]), args[4])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, KeyboardInterrupt):
        pass
