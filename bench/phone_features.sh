#!/usr/bin/env bash
# Cost of the phone features on the real processes: a paired, idle `dovan --headless` (CPU
# share of one core and RSS over a quiet stretch), then a burst of notifications from the
# simulated phone (time until the last one is shown, and RSS growth afterwards).
#
#   bench/phone_features.sh [BUILD_DIR] [IDLE_SECONDS] [BURST] [tcp|ble]
# Everything runs on loopback and a private sim-radio folder. With `ble` the phone stays off
# the LAN and the burst comes over the simulated BLE link; with `tcp` (the default) over the
# bound TCP channel, whose inbound queue hands the core at most 64 frames a turn.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
idle_s=${2:-30}
burst=${3:-1000}
link=${4:-tcp}
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
phone_opts=(--lan-port "$port")
[[ "$link" == "ble" ]] && phone_opts=(--no-tcp)

work=$(mktemp -d /tmp/dovan-bench.XXXXXX)
phone_pid=""
dovan_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true
  exec 4>&- 2>/dev/null || true
  [[ -n "$dovan_pid" ]] && kill "$dovan_pid" 2>/dev/null && wait "$dovan_pid" 2>/dev/null || true
  [[ -n "$phone_pid" ]] && kill "$phone_pid" 2>/dev/null && wait "$phone_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/appdata"
# The program refuses a radio folder its group or others may write to, whatever the umask.
mkdir -p -m 700 "$work/radio"
export DOVAN_SIM_RADIO="$work/radio"

await() {  # prefix, tenths of a second, file
  for ((i = 0; i < $2; i++)); do
    grep -q -- "^$1" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

mkfifo "$work/phone.in" "$work/console.in"
"$build/phone-sim" --data "$work/phone" "${phone_opts[@]}" <"$work/phone.in" >"$work/phone.log" 2>/dev/null &
phone_pid=$!
exec 4>"$work/phone.in"
await "address " 300 "$work/phone.log" || { echo "bench: phone did not start" >&2; exit 1; }
addr=$(awk '/^address /{print $2; exit}' "$work/phone.log")

APPDATA="$work/appdata" "$build/dovan" --headless --lan-port "$port" <"$work/console.in" >"$work/console.log" 2>/dev/null &
dovan_pid=$!
exec 3>"$work/console.in"
for ((n = 0; n < 120; n++)); do
  echo "devices" >&3
  sleep 0.5
  grep -q "^device $addr" "$work/console.log" && break
done
echo "connect $addr" >&3
await "sas " 600 "$work/console.log" || { echo "bench: no SAS" >&2; exit 1; }
echo "sas confirm" >&3
if [[ "$link" == "ble" ]]; then
  await "state 4" 600 "$work/console.log" || { echo "bench: not paired" >&2; exit 1; }
else
  await "tcp 1" 600 "$work/console.log" || { echo "bench: TCP channel not bound" >&2; exit 1; }
fi
sleep 3  # the configuration sync and the first heartbeats settle

ticks() { awk '{print $14 + $15}' "/proc/$dovan_pid/stat"; }
rss_kib() { awk '/^VmRSS:/{print $2}' "/proc/$dovan_pid/status"; }
hz=$(getconf CLK_TCK)

t0=$(ticks)
s0=$(date +%s.%N)
sleep "$idle_s"
t1=$(ticks)
s1=$(date +%s.%N)
idle_rss=$(rss_kib)
cpu=$(awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$s0" -v e="$s1" 'BEGIN{printf "%.3f", (b - a) / hz / (e - s) * 100}')
echo "idle ($link): ${idle_s}s paired, CPU ${cpu}% of one core, RSS ${idle_rss} KiB"

before=$(rss_kib)
from=$(wc -l <"$work/console.log")
start=$(date +%s.%N)
echo "flood $burst" >&4
last="notification com.example.flood	通知 $burst	"
for ((i = 0; i < 600; i++)); do
  tail -n +"$((from + 1))" "$work/console.log" | grep -q -- "^$last" && break
  sleep 0.01
done
end=$(date +%s.%N)
sleep 2
after=$(rss_kib)
shown=$(tail -n +"$((from + 1))" "$work/console.log" | grep -c '^notification com.example.flood' || true)
lost=$(tail -n +"$((from + 1))" "$work/console.log" | awk '/^lost /{n += $2} END{print n + 0}')
echo "notifications" >&3
sleep 1
kept=$(tail -n +"$((from + 1))" "$work/console.log" | grep -c '^notification [0-9]' || true)
elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN{printf "%.3f", e - s}')
echo "burst ($link): $burst notifications, the last shown after ${elapsed}s; $shown event lines printed, $lost events dropped by the bounded feed; $kept kept; RSS ${before} -> ${after} KiB (+$((after - before)) KiB)"
