# The fleet against the RabbitMQ cluster (sourced by bench/fleet, whose variables and helpers it
# uses). Per fleet size: the boxes connect through HAProxy (TLS); once all are connected, the
# floor and the steady requests run through one node directly (plain MQTT); then, with the
# requests going on, the node with the most sessions is killed (SIGKILL, not restarted). The
# cloud's client sits on another node, so it sees the whole failure: every box must reconnect
# through the balancer, subscribe again and announce itself; requests sent meanwhile are
# answered late or counted lost. Attempts per second come from HAProxy's log; the broker's
# processor time is that of the surviving nodes and HAProxy over the recovery.

cluster_dir=$work/cluster

# Sessions connected to the nodes (established connections on their MQTT ports).
cluster_sessions() { "$harness/cluster" ports "$cluster_dir" | awk '{s += $3} END {print s + 0}'; }

cluster_fleet() {
  local entry n
  entry=$(free_port)
  make_template 127.0.0.1 "$entry" || return 1
  IFS=, read -r -a sizes <<<"$boxes_list"
  for n in "${sizes[@]}"; do
    [ "$n" -gt 0 ] || continue
    time_left || { say "time limit reached before $n boxes"; break; }
    # A new cluster per fleet: the killed node does not come back.
    cluster_dir=$work/cluster-$n
    say "starting the RabbitMQ cluster (three nodes) and HAProxy on 127.0.0.1:$entry"
    "$harness/cluster" up "$cluster_dir" "$certs" "$entry" || return 1
    broker_log=$cluster_dir/haproxy.log
    cluster_one "$n" "$entry" || say "$n boxes: failed"
    "$harness/cluster" down "$cluster_dir" >/dev/null 2>&1
  done
}

cluster_one() {  # N ENTRY_PORT
  local n=$1 entry=$2 end victim watch_node watch_port floor steady p50 p99 t0 t1 back conn cpu0 cpu1 run_pid
  local run_out=$work/cluster-run-$n.out watch=$work/cluster-watch-$n.txt survivors
  say "$n boxes: starting (through HAProxy)"
  start_boxes "$n" || return 1
  end=$((SECONDS + 60 + n))
  while [ "$(cluster_sessions)" -lt $((3 * n)) ] && [ $SECONDS -lt $end ]; do sleep 1; done
  sleep 5
  say "$n boxes: $(cluster_sessions) sessions on the nodes: $("$harness/cluster" ports "$cluster_dir" | awk '{printf "node %s %s  ", $1, $3}')"
  victim=$("$harness/cluster" ports "$cluster_dir" | sort -k3,3nr | head -1 | awk '{print $1}')
  watch_node=$("$harness/cluster" ports "$cluster_dir" | awk -v v="$victim" '$1 != v {print $1; exit}')
  watch_port=$((18830 + watch_node))
  floor=$("$tools/bench_fleet_cloud" floor 127.0.0.1 "$watch_port" - 500 | awk '/^FLOOR/{print $3}')
  steady=$("$tools/bench_fleet_cloud" steady 127.0.0.1 "$watch_port" - "$n" "$rate" "$steady_s" 5 | grep '^STEADY')
  say "$n boxes: floor p50 ${floor:-?} ms (node $watch_node); steady (sent answered lost p50 p99 max): ${steady#STEADY }"
  p50=$(echo "$steady" | awk '{print $5}')
  p99=$(echo "$steady" | awk '{print $6}')
  # Requests for 5 s before the kill and 60 s after; answers awaited 60 s more.
  "$tools/bench_fleet_cloud" steady 127.0.0.1 "$watch_port" - "$n" "$rate" 65 60 "$watch" > "$run_out" 2>&1 &
  run_pid=$!
  sleep 5
  survivors=$("$harness/cluster" pids "$cluster_dir" | grep -vx "$(ss -Hltnp "sport = :$((18830 + victim))" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1)")
  # shellcheck disable=SC2086
  cpu0=$(cpu_ticks $survivors)
  # The sessions on the victim: only their agents have to announce again.
  ss -Htnp state established "dport = :$entry" > "$work/cluster-ss-$n.txt"
  python3 "$harness/recovery.py" on-node "fleet$victim" "$broker_log" "$work/cluster-ss-$n.txt" "$work/boxes" \
    > "$work/cluster-lost-$n.txt"
  t0=$(now_ms)
  "$harness/cluster" kill "$cluster_dir" "$victim"
  say "$n boxes: killed node $victim ($(wc -l < "$work/cluster-lost-$n.txt") sessions on it)"
  back=$(BACK_ONLY=$work/cluster-lost-$n.txt wait_back "$n" "$t0" "$recovery_s" "$watch")
  # shellcheck disable=SC2086
  cpu1=$(cpu_ticks $survivors)
  t1=$(now_ms)
  conn=$(python3 "$harness/recovery.py" connects "$t0" "$t1" "$broker_log")
  wait "$run_pid"
  read -r _ b50 b95 b100 never _ <<<"$back"
  read -r _ peak _ total_tcp _ series <<<"$conn"
  cpu=$(awk -v a="$cpu0" -v b="$cpu1" -v hz="$hz" 'BEGIN{printf "%.2f", (b-a)/hz}')
  local run sent answered lost late
  run=$(grep '^STEADY' "$run_out")
  read -r _ sent answered lost _ _ _ losses <<<"$run"
  late=$(grep -c '^LATE' "$run_out")
  results+=("rabbitmq-cluster${HBN_FLEET_MIRROR:+-mirrored}|$n|0|$b50|$b95|$b100|$peak|$cpu|$never|${p50:--}|${p99:--}|${floor:--}|-|$total_tcp|-")
  say "$n boxes, node $victim killed: back 50/95/100 % ${b50}/${b95}/${b100} s, never $never; attempts at HAProxy peak $peak/s, total $total_tcp; survivors' CPU ${cpu}s"
  say "   per second (accepted at HAProxy): $series"
  say "   requests across the failure: sent $sent, answered $answered ($late of them after more than 1 s), lost $lost; the cloud client lost its own connection ${losses:-0} time(s)"
  say "   sessions now: $("$harness/cluster" ports "$cluster_dir" | awk '{printf "node %s %s  ", $1, $3}')"
  stop_boxes
}
