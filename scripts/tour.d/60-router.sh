# Tour: the router cloud agent seen from the cloud: its announcement, a configuration upload,
# a load refused with its error document, and a control reboot.
# Sourced by scripts/demo --tour (uses its helpers and $bin, $root, $port, $service, $router_serial).
if [ -x "$bin/router-cloud-agent" ]; then
  rgw="gw/$service/$router_serial"
  rreq="req/$service/$router_serial"
  rexpect() {  # rexpect TOPIC_SUFFIX PAYLOAD_FRAGMENT
    local deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
      line=$(grep -aF -- "$rgw/$1 " "$logs/mqtt-tour.log" 2>/dev/null | grep -aF -- "$2" | head -1)
      if [ -n "$line" ]; then ok "router -> $(echo "$line" | cut -c1-200)"; return 0; fi
      sleep 0.1
    done
    bad "no $rgw/$1 with $2"
  }
  rpub() { mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t "$rreq/$1" -m "$2"; echo "   cloud -> $rreq/$1 $2"; }

  step "The router agent announces itself once the clock is synchronised"
  rexpect connected '"model":"KRW-BLDA-PV37"'
  rexpect connected/version '"fw_version_lan":"01.02.03.04"'
  rexpect connected/tls '"tls_client_exp":'
  rexpect "connected/wanip/$router_serial" '"wan_ip_address":'

  step "The cloud asks the router for its whole configuration"
  rpub control '{"upload":"config"}'
  rexpect config/info ''
  rexpect config/server '{"setting_server":'
  rexpect config/user '{"setting":'

  step "A configuration load with a bad address is refused with its error document, no reboot"
  rpub config/reboot '{"setting":{"upside":{"IP_address":"300.1.2.3"}}}'
  rexpect config/reboot/err 'IP_address'
  if grep -aq '^reboot' "$logs/platform-commands.log" 2>/dev/null; then bad "the router rebooted"; else ok "no reboot"; fi

  step "A control request reboots the router (a recording fake here)"
  rpub control '{"reboot":"all"}'
  if wait_for 5 "$logs/platform-commands.log" "reboot"; then ok "platform command: $(grep -a '^reboot' "$logs/platform-commands.log" | tail -1)"; else bad "no reboot"; fi
fi
