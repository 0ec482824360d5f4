# Tour: the Z-Wave agent seen from the cloud, as MQTT topics and payloads.
# Sourced by scripts/demo --tour (uses its step/ok/bad helpers and $bin, $root, $port, $serial, $service).
gw="gw/$service/$serial"
req="req/$service/$serial"
mqtt_log="$logs/mqtt-tour.log"

pub() {  # pub SUFFIX PAYLOAD [SHOWN]: SHOWN describes a binary payload
  if [ -n "$2" ]; then
    mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$req/$1" -m "$2"
  else
    mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$req/$1" -n
  fi
  echo "   cloud -> $req/$1 ${3:-${2:-(empty)}}"
}
expect() {  # expect TOPIC_SUFFIX PAYLOAD_FRAGMENT: wait for a published line
  local deadline=$((SECONDS + 8))
  while [ $SECONDS -lt $deadline ]; do
    line=$(grep -aF -- "$gw/$1 " "$mqtt_log" 2>/dev/null | grep -aF -- "$2" | head -1)
    if [ -n "$line" ]; then ok "box -> $line"; return 0; fi
    sleep 0.1
  done
  bad "no $gw/$1 with $2"
  return 1
}

if [ -x "$bin/zipgw-sim" ]; then
  step "The agent connects to the broker and announces itself"
  expect connected '"node_ids":['

  step "The cloud asks for the node list and the version"
  pub node_list ""
  expect node_list '{"node_ids":['
  pub version ""
  expect version '"model":"QM7T4PX118"'

  step "Inclusion: a simulated node joins the network"
  ctl="$root/tmp/zipgw-sim.ctl"
  [ -p "$ctl" ] && echo "join 5" > "$ctl"
  pub mode '{"mode":1}'
  expect mode '{"status":0,"mode":1}'
  expect node/add '"node_id":5'
  expect mode '{"status":0,"mode":0}'
  pub node_list ""
  expect node_list '{"node_ids":[5,1000]}'

  step "A node command (Basic Get) and the node's answer (Basic Report 0xFF)"
  pub node/5/send "$(printf '\x20\x02')" "(bytes 20 02)"
  if wait_for 5 "$root/tmp/zipgw-sim.log" "RX 05230280"; then
    ok "gateway <- $(grep -a "RX 05230280" "$root/tmp/zipgw-sim.log" | tail -1)"
  else
    bad "the node command did not reach the gateway"
  fi
  [ -p "$ctl" ] && echo "report 5 2003FF" > "$ctl"
  if wait_for 5 "$logs/agent.err" "DUMP-payload=2003FF"; then
    ok "box -> $gw/node/5/recv carrying the bytes 20 03 FF"
  else
    bad "no node/5/recv with 20 03 FF"
  fi

  step "A cloud script request runs its script"
  pub script '{"no":7}'
  if wait_for 5 "$logs/scripts.log" "script440_7.sh ran"; then ok "script runner ran script440_7.sh"; else bad "script440_7.sh did not run"; fi
fi
