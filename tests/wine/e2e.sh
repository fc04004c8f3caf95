#!/usr/bin/env bash
# End to end on the Windows build: PELLOMAR.exe under Wine on a virtual X display.
#   tests/wine/e2e.sh BUILD_LINUX BUILD_WIN
# Checks that the Windows agent answers the same requests byte for byte as the Linux agent, that
# a second copy shows the warning and exits 0, that the tray menu adds and removes the Run-key
# value (read back with `wine reg query`), and that " Exit " ends it with 0.
# Needs the agent test lock (port 8922 and the single-instance lock); run it through
#   flock -o /tmp/pellomar-agent-test.lock tests/wine/e2e.sh ...
set -uo pipefail
LIN=$(cd "${1:?linux build folder}" && pwd)
WIN=$(cd "${2:?windows build folder}" && pwd)
CLI=$LIN/bin/pellomar-cli
WORK=$(mktemp -d /tmp/pellomar-wine-e2e.XXXXXX)
ART=$WIN/test-artifacts/wine-e2e
mkdir -p "$ART"
FAILS=0
PIDS=()

log() { echo "wine-e2e: $*"; }
fail() { echo "wine-e2e: FAILED: $*"; FAILS=$((FAILS + 1)); }
cleanup() {
  [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-/nonexistent} ]] && wineserver -k 2>/dev/null
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local t=$1; shift
  local end=$((SECONDS + t))
  while ((SECONDS < end)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}
alive() { "$CLI" --timeout 2 alive; }

# The requests both agents answer; one per line, as pellomar-cli raw takes them.
REQUESTS=(
  "02 04 41 42 43"                                          # echo
  "02 05 70 69 6e 67"                                       # alive
  "02 01 4e 4f 53 55 43 48 00 00 00 00 00 00 00 00 00 00 01 01 00"  # unknown serial, type 1
  "02 03 4e 4f 53 55 43 48 00 00 00 00 00 00 00 00 00 00 01"        # unknown serial, type 3
  "02 02 13"                                                # unknown configuration code 19
  "02 02 f0"                                                # unknown configuration code 0xf0
  "02 02 02 00 0b"                                          # recipient slot 11 after a start
  "02 02 02 00 00"                                          # recipient slot 0
  "02 02 02 00 0c"                                          # slot 12: out of range
  "02 02 0d"                                                # mail switch
  "02 02 03"                                                # controller count
  "02 02 12 00 00"                                          # controller 0 described
  "02 09 01 02"                                             # undefined type: no reply
  "02 02 01 05 00 61 40 62 63"                              # slot 0 := a@bc (saved to mail.cfg)
  "02 02 02 00 00"                                          # slot 0 read back
  "02 02 07 0e 31 32 37 2e 30 2e 30 2e 31 3a 32 35 32 35"   # item 1 := 127.0.0.1:2525
  "02 02 05"                                                # item 1 read back
  "02 02 0e 00 07"                                          # mail on
  "02 02 0d"                                                # the switch read back
)
ask_all() { # output file
  : >"$1"
  for r in "${REQUESTS[@]}"; do
    # shellcheck disable=SC2086
    out=$("$CLI" --timeout 10 raw $r 2>&1)
    echo "$r => $out" >>"$1"
  done
}

# 1. The Linux agent's answers.
mkdir -p "$WORK/linux"
cp "$LIN/bin/pellomar" "$WORK/linux/"
if alive; then
  fail "another agent already serves port 8922"
  exit 1
fi
(cd "$WORK/linux" && DISPLAY= WAYLAND_DISPLAY= exec ./pellomar >/dev/null 2>&1) &
LPID=$!
PIDS+=("$LPID")
wait_for 30 alive || fail "the Linux agent did not start"
ask_all "$WORK/linux.txt"
kill -TERM "$LPID"; wait "$LPID" 2>/dev/null
wait_for 10 bash -c "! $CLI --timeout 1 alive 2>/dev/null"

# 2. A virtual display and a Wine prefix of our own.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
XPID=$!
PIDS+=("$XPID")
read -r -t 30 DNUM <&3 || { fail "Xvfb did not start"; exit 1; }
export DISPLAY=:$DNUM
export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
log "display $DISPLAY, prefix $WINEPREFIX"
wineboot --init </dev/null >/dev/null 2>&1
wineserver -p 60 </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

# 3. The Windows agent: the same answers.
AGENT="$WORK/agent dir"
mkdir -p "$AGENT"
cp "$WIN/bin/PELLOMAR.exe" "$AGENT/"
(cd "$AGENT" && exec wine PELLOMAR.exe </dev/null >"$WORK/agent.out" 2>&1) &
WPID=$!
PIDS+=("$WPID")
wait_for 60 alive || fail "PELLOMAR.exe did not start under Wine"
ask_all "$WORK/wine.txt"
if diff -u "$WORK/linux.txt" "$WORK/wine.txt" >"$ART/answers.diff"; then
  log "answers byte for byte as on Linux ($(wc -l <"$WORK/wine.txt") requests)"
else
  fail "the answers differ from the Linux agent's:"; cat "$ART/answers.diff"
fi
cp "$WORK/wine.txt" "$ART/answers.txt"
head -c 17 "$AGENT/ServerLog.txt" | od -c | head -2 >"$ART/log-start.txt"
[[ $(head -c 17 "$AGENT/ServerLog.txt") == $'GS.1.1.5 Start.\r' ]] || fail "the log does not start with the start line (CR LF)"

# 4. A second copy: the warning box, then exit code 0.
(cd "$AGENT" && exec wine PELLOMAR.exe </dev/null >/dev/null 2>&1) &
SPID=$!
if BOX=$(timeout 30 xdotool search --sync --onlyvisible --name '^Warning$' 2>/dev/null | head -1) && [[ -n $BOX ]]; then
  import -window root "$ART/second-copy.png" 2>/dev/null
  xdotool windowactivate --sync "$BOX" key --clearmodifiers Return 2>/dev/null ||
    xdotool windowfocus --sync "$BOX" key Return
  if wait_for 20 bash -c "! kill -0 $SPID 2>/dev/null"; then
    wait "$SPID"; rc=$?
    [[ $rc -eq 0 ]] || fail "the second copy exited with $rc"
  else
    fail "the second copy did not end"; kill "$SPID" 2>/dev/null
  fi
else
  fail "no warning box for the second copy"; kill "$SPID" 2>/dev/null
fi
alive >/dev/null 2>&1 || fail "the first copy stopped answering"

# 5. The tray menu: add and remove the Run-key value, then Exit.
RUNKEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
VALUE='Tavenu RAID Manager Server'
tray_window() { xdotool search --onlyvisible --name '^Wine System Tray$' 2>/dev/null | head -1; }
menu_choose() { # keys...
  local tray
  tray=$(tray_window)
  [[ -n $tray ]] || return 1
  xdotool mousemove --window "$tray" 10 10 click 3
  sleep 0.5
  xdotool key "$@"
}
info_box_dismiss() {
  local box
  box=$(timeout 20 xdotool search --sync --onlyvisible --name '^Information$' 2>/dev/null | head -1)
  [[ -n $box ]] || return 1
  import -window root "$ART/$1.png" 2>/dev/null
  xdotool windowactivate --sync "$box" key --clearmodifiers Return 2>/dev/null ||
    xdotool windowfocus --sync "$box" key Return
  wait_for 10 bash -c "[[ -z \$(xdotool search --onlyvisible --name '^Information$') ]]"
}
if wait_for 30 bash -c "[[ -n \$(xdotool search --onlyvisible --name '^Wine System Tray$') ]]"; then
  import -window root "$ART/tray.png" 2>/dev/null
  wine reg delete "$RUNKEY" /v "$VALUE" /f >/dev/null 2>&1
  menu_choose Down Return && info_box_dismiss add-done || fail "no box after Run at Windows Startup"
  q=$(wine reg query "$RUNKEY" /v "$VALUE" 2>/dev/null | tr -d '\r')
  if [[ $q == *"$VALUE"*REG_SZ*PELLOMAR.exe* && $q == *"agent dir"* ]]; then
    log "Run-key value written: $(grep -o 'REG_SZ.*' <<<"$q")"
  else
    fail "Run-key value not written: $q"
  fi
  menu_choose Down Down Return && info_box_dismiss remove-done || fail "no box after Remove from Windows Startup"
  wine reg query "$RUNKEY" /v "$VALUE" >/dev/null 2>&1 && fail "Run-key value not removed"
  menu_choose Up Return
else
  fail "no tray icon window"
  kill -TERM "$WPID" 2>/dev/null
fi
if wait_for 30 bash -c "! kill -0 $WPID 2>/dev/null"; then
  wait "$WPID"; rc=$?
  [[ $rc -eq 0 ]] || fail "Exit ended the agent with $rc"
else
  fail "Exit did not end the agent"
fi
cp "$AGENT/ServerLog.txt" "$ART/ServerLog.txt" 2>/dev/null

if [[ $FAILS -gt 0 ]]; then
  log "$FAILS check(s) failed; artifacts in $ART"
  exit 1
fi
log "all checks passed; artifacts in $ART"
