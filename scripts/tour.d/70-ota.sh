# Tour: the OTA agent seen from its server: its version at connect, the LTE identity, and a
# certificate update handed to the platform updater.
# Sourced by scripts/demo --tour (uses its helpers and $bin, $root, $port, $service, $serial).
# The OTA agent shares the Z-Wave identity's serial; its requests go under the service code "ota",
# which the Z-Wave agent (subscribed to its own service code) does not receive.
if [ -x "$bin/ota-agent" ]; then
  ogw="gw/$service/$serial"
  oreq="req/ota/$serial"
  oexpect() {  # oexpect TOPIC_SUFFIX PAYLOAD_FRAGMENT
    local deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
      line=$(grep -aF -- "$ogw/$1 " "$logs/mqtt-tour.log" 2>/dev/null | grep -aF -- "$2" | head -1)
      if [ -n "$line" ]; then ok "ota -> $(echo "$line" | cut -c1-200)"; return 0; fi
      sleep 0.1
    done
    bad "no $ogw/$1 with $2"
  }
  opub() {
    if [ -n "$2" ]; then mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$oreq/$1" -m "$2"; else mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$oreq/$1" -n; fi
    echo "   server -> $oreq/$1 ${2:-(empty)}"
  }

  step "The OTA agent reports its version when it connects"
  oexpect version '"is_sim":"no"'

  step "The OTA server asks for the LTE identity"
  opub lteinfo ""
  oexpect lteinfo '{"imei":"356938035643809","sno":"LTE0000123"}'

  step "A certificate update goes to the platform updater"
  rm -f "$root/var/kv_cloudfwd.run"
  opub update/tls '{"download_url":"http://updates.example/client.crt","checksum_url":"http://updates.example/client.crt.md5"}'
  if wait_for 5 "$root/var/kv_cloudfwd.conf" "cert" && [ -e "$root/var/kv_cloudfwd.run" ]; then
    ok "hand-off: $(tr '\n' ' ' < "$root/var/kv_cloudfwd.conf")and the trigger /var/kv_cloudfwd.run"
  else
    bad "no certificate hand-off"
  fi
fi
