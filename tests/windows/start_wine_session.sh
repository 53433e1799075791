#!/usr/bin/env bash
# start_wine_session.sh WINE LOG: starts a Wine session in $WINEPREFIX and returns once it
# has booted (creating the prefix first if it does not exist), leaving the session running so
# the next Wine program starts at once. Exits non-zero if Wine cannot boot.
#
# The first program of a session has wineboot start the services and, in a new prefix, fill
# the prefix; that program waits for wineboot only five minutes and then gives up while
# wineboot goes on. So this starts wineboot itself and waits until no wineboot process is
# left. Where Wine's 32-bit loader runs under qemu-i386, booting takes many minutes, and now
# and then one of Wine's processes crashes in the emulator ("qemu: uncaught target signal")
# and leaves the others waiting for it forever. Such a stall shows as Wine using no CPU time
# while wineboot is still there; the session is then stopped and booted again, which goes on
# from what the prefix already has.
#
# Environment: WINEPREFIX and the rest of Wine's settings; NIMBRELLE_WINE_ATTEMPTS (default 3),
# NIMBRELLE_WINE_STALL_SECONDS (default 90), NIMBRELLE_WINE_ATTEMPT_SECONDS (default 2400).
set -uo pipefail

wine=$1
log=$2
wineserver="$(dirname "$wine")/wineserver"
attempts=${NIMBRELLE_WINE_ATTEMPTS:-3}
stall_limit=${NIMBRELLE_WINE_STALL_SECONDS:-90}
attempt_limit=${NIMBRELLE_WINE_ATTEMPT_SECONDS:-2400}
poll=10

# Total CPU ticks used so far by the processes of the Wine session (matched by command line:
# Wine's programs, the server, and qemu running either).
wine_cpu_ticks() {
  local total=0 pid fields
  for pid in $(pgrep -f '/usr/lib/wine/|wineserver|C:\\windows\\'); do
    # Fields 14 and 15 of /proc/PID/stat (utime, stime), counted after the ")" that ends
    # the command name, which may itself hold spaces.
    fields=$(sed -e 's/^.*) //' "/proc/$pid/stat" 2>/dev/null) || continue
    read -r -a f <<<"$fields"
    total=$((total + f[11] + f[12]))
  done
  echo "$total"
}

booting() {
  pgrep -f 'wineboot' >/dev/null
}

for ((attempt = 1; attempt <= attempts; attempt++)); do
  echo "--- boot attempt $attempt" >>"$log"
  "$wine" wineboot --init >>"$log" 2>&1 &
  client=$!
  start=$SECONDS
  last_ticks=-1
  last_change=$SECONDS
  outcome=stalled
  while true; do
    sleep "$poll"
    if ! booting; then
      outcome=booted
      break
    fi
    ticks=$(wine_cpu_ticks)
    if [[ $ticks != "$last_ticks" ]]; then
      last_ticks=$ticks
      last_change=$SECONDS
    elif ((SECONDS - last_change >= stall_limit)); then
      echo "--- Wine used no CPU time for ${stall_limit} s while booting: stopping it" >>"$log"
      break
    fi
    if ((SECONDS - start >= attempt_limit)); then
      echo "--- boot attempt $attempt took more than ${attempt_limit} s: stopping it" >>"$log"
      break
    fi
  done
  if [[ $outcome == booted ]]; then
    wait "$client" 2>/dev/null
    if [[ -e $WINEPREFIX/drive_c/windows/system32/kernel32.dll ]]; then
      echo "--- booted in $((SECONDS - start)) s" >>"$log"
      exit 0
    fi
  fi
  "$wineserver" -k >/dev/null 2>&1
  kill "$client" 2>/dev/null
  wait "$client" 2>/dev/null
  sleep 2
done
echo "--- Wine did not boot in $attempts attempts" >>"$log"
exit 1
