#!/usr/bin/env bash
# doc/prometheus/alertmanager.yml against a real Alertmanager:
#   1. amtool accepts the file;
#   2. every alert of pellomar.rules.yml reaches the receiver its severity calls for;
#   3. a real Alertmanager on loopback mutes controller alerts of a host whose agent is down, and
#      stale polling of a controller that is gone, and nothing else.
# Usage: alertmanager_test.sh DOC_DIR. Exit 77 (skipped) when amtool or alertmanager is missing.
set -euo pipefail
doc=$1
# Debian installs the server as prometheus-alertmanager.
am=$(command -v prometheus-alertmanager || command -v alertmanager || true)
for tool in amtool "$am" python3 curl; do
  command -v "$tool" >/dev/null || { echo "${tool:-alertmanager} is not installed: skipped"; exit 77; }
done
fail=0
amtool check-config "$doc/alertmanager.yml"

# 2. Severity -> receiver, for each alert the rules define.
declare -A receiver=([critical]=storage-pager [warning]=storage-mail)
alerts=$(awk '/- alert:/ {name=$3} /severity:/ && name != "" {print name, $2; name=""}' \
  "$doc/pellomar.rules.yml")
[[ $(wc -l <<<"$alerts") -ge 9 ]] || { echo "found too few alerts in the rules: $alerts"; exit 1; }
while read -r name severity; do
  want=${receiver[$severity]:-}
  if [[ -z $want ]]; then
    echo "FAIL: $name has severity '$severity', which no route expects"; fail=1; continue
  fi
  if ! amtool config routes test --config.file="$doc/alertmanager.yml" --verify.receivers="$want" \
      alertname="$name" severity="$severity" instance=host1 controller=0 >/dev/null 2>&1; then
    echo "FAIL: $name ($severity) does not go to $want"; fail=1
  fi
done <<<"$alerts"

# 3. Inhibition. The receivers point at a closed loopback port: nothing leaves the machine.
work=$(mktemp -d /tmp/pellomar-am-test.XXXXXX)
am_pid=""
cleanup() {
  [[ -n $am_pid ]] && kill "$am_pid" 2>/dev/null && wait "$am_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
sed -e 's#pager-gateway.example.org:8080#127.0.0.1:9#' -e 's#mail.example.org:587#127.0.0.1:9#' \
  "$doc/alertmanager.yml" >"$work/am.yml"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url=http://127.0.0.1:$port
"$am" --config.file="$work/am.yml" --storage.path="$work/data" \
  --web.listen-address="127.0.0.1:$port" --cluster.listen-address= >"$work/am.log" 2>&1 &
am_pid=$!
for _ in $(seq 100); do
  curl -fsS "$url/-/ready" >/dev/null 2>&1 && break
  sleep 0.1
done
curl -fsS "$url/-/ready" >/dev/null || { echo "alertmanager did not start"; cat "$work/am.log"; exit 1; }

# alert labels ... : expected state
cases='
PellomarAgentDown             instance=host1                   : active
PellomarControllerGone        instance=host1 controller=0      : inhibited
PellomarControllerCriticalEvents instance=host1 controller=1 event=disk : inhibited
PellomarMailScriptFailures    instance=host1                   : active
PellomarControllerGone        instance=host2 controller=0      : active
PellomarControllerPollingStale instance=host2 controller=0     : inhibited
PellomarControllerPollingStale instance=host2 controller=1     : active
PellomarControllerPollErrors  instance=host2 controller=0      : inhibited
PellomarControllerCriticalEvents instance=host2 controller=0 event=disk : active
'
while read -r line; do
  [[ -z $line ]] && continue
  read -ra labels <<<"${line%%:*}"
  amtool alert add --alertmanager.url="$url" alertname="${labels[0]}" "${labels[@]:1}" \
    severity=x >/dev/null
done <<<"$cases"
curl -fsS "$url/api/v2/alerts" >"$work/alerts.json"
while read -r line; do
  [[ -z $line ]] && continue
  read -ra labels <<<"${line%%:*}"
  want=$(xargs <<<"${line##*:}")
  got=$(python3 - "$work/alerts.json" "alertname=${labels[0]}" "${labels[@]:1}" <<'PY'
import json, sys
alerts = json.load(open(sys.argv[1]))
want = dict(a.split("=", 1) for a in sys.argv[2:])
for a in alerts:
    if {k: v for k, v in a["labels"].items() if k != "severity"} == want:
        print("inhibited" if a["status"]["inhibitedBy"] else a["status"]["state"])
        break
else:
    print("missing")
PY
)
  if [[ $got != "$want" ]]; then
    echo "FAIL: ${line%%:*}: $got, expected $want"; fail=1
  fi
done <<<"$cases"
[[ $fail -eq 0 ]] && echo "alertmanager.yml: routes and inhibitions as expected"
exit $fail
