# Tour: router settings as JSON, and a load that is refused with its error document.
# Sourced by scripts/demo --tour (uses its step/ok/bad helpers and $bin, $root).
if [ -x "$bin/configtool" ]; then
  step "configtool dumps the router settings as one line of JSON"
  if "$bin/configtool" dumpJsonCfg "$root/tmp/dumpCfg.json" && [ -s "$root/tmp/dumpCfg.json" ]; then
    ok "$(head -c 300 "$root/tmp/dumpCfg.json")..."
    if python3 -c 'import json,sys; json.load(open(sys.argv[1]))' "$root/tmp/dumpCfg.json"; then
      ok "the document is valid JSON"
    else
      bad "the settings document is not valid JSON"
    fi
  else
    bad "configtool dumpJsonCfg failed"
  fi

  step "configtool refuses a settings document with a bad WAN address, and says why"
  printf '{"setting":{"upside":{"IP_address":"300.1.2.3"}}}\n' > "$root/tmp/tmpCfg.json"
  before=$(cat "$root/var/apmib/store.txt" 2>/dev/null)
  rm -f "$root/tmp/tmpErr.json"
  "$bin/configtool" loadJsonCfg "$root/tmp/tmpCfg.json" "$root/tmp/tmpErr.json"
  # The outcome is the error file: it exists only when the load was refused.
  if [ -s "$root/tmp/tmpErr.json" ]; then
    ok "error document: $(cat "$root/tmp/tmpErr.json")"
  else
    bad "the load was accepted"
  fi
  if [ "$before" = "$(cat "$root/var/apmib/store.txt" 2>/dev/null)" ]; then
    ok "the configuration store is unchanged"
  else
    bad "the refused load changed the store"
  fi
fi
