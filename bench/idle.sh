#!/usr/bin/env bash
# Idle cost of a paired program: `dovan --headless` paired with the phone simulator over
# the sim radio and a bound loopback TCP channel, then left alone. Prints the CPU time it
# used and how often its threads woke (context switches of every thread) over the window,
# and its resident memory (DOVAN_IDLE_MAPS=FILE also writes the largest mappings there).
#   bench/idle.sh [build-dir] [seconds]
# Runs inside a private network namespace when it can, so nothing leaves loopback.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
secs=${2:-60}

if [[ -z "${DOVAN_IDLE_NS:-}" ]] && unshare --net true 2>/dev/null; then
  exec unshare --net env DOVAN_IDLE_NS=1 bash -c 'ip link set lo up && exec "$@"' _ "$0" "$build" "$secs"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
mkdir -p -m 700 "$work/radio"  # refused if group or others may write
"$build/phone-sim" --radio "$work/radio" --data "$work/phone" --lan-port "$port" >"$work/phone.out" 2>&1 &
pids+=($!)
mkfifo "$work/in"
DOVAN_SIM_RADIO="$work/radio" APPDATA="$work/appdata" \
  "$build/dovan" --headless --lan-port "$port" <"$work/in" >"$work/pc.out" 2>"$work/pc.err" &
pc=$!
pids+=($pc)
exec 3>"$work/in"

# Waits up to $2 seconds for a line matching $1 in the program's output.
wait_line() {
  for _ in $(seq 1 $(($2 * 10))); do
    grep -q -- "$1" "$work/pc.out" && return 0
    sleep 0.1
  done
  echo "idle: no '$1' from the program" >&2
  cat "$work/pc.out" "$work/pc.err" >&2
  return 1
}

addr=""
for _ in $(seq 1 100); do
  echo devices >&3
  sleep 0.2
  addr=$(grep -m1 '^device ' "$work/pc.out" | cut -d' ' -f2 || true)
  [[ -n "$addr" ]] && break
done
[[ -n "$addr" ]] || { echo "idle: the phone was never seen" >&2; exit 1; }
echo "connect $addr" >&3
wait_line '^sas ' 30
echo "sas confirm" >&3
wait_line '^paired ' 30
wait_line '^tcp 1' 30
sleep 5  # let pairing traffic settle

# utime + stime in clock ticks, and context switches summed over every thread.
sample() {
  local stat ticks switches=0
  stat=$(cut -d')' -f2 "/proc/$pc/stat")
  ticks=$(awk '{print $12 + $13}' <<<"$stat")
  for t in /proc/$pc/task/*/status; do
    switches=$((switches + $(awk '/ctxt_switches/ {s += $2} END {print s}' "$t" 2>/dev/null || echo 0)))
  done
  echo "$ticks $switches"
}
read -r t0 s0 < <(sample)
sleep "$secs"
read -r t1 s1 < <(sample)
grep -q '^tcp 0' "$work/pc.out" && echo "idle: warning: the TCP channel dropped during the window" >&2
hz=$(getconf CLK_TCK)
threads=$(ls /proc/$pc/task | wc -l)
awk -v dt=$((t1 - t0)) -v ds=$((s1 - s0)) -v secs="$secs" -v hz="$hz" -v threads="$threads" 'BEGIN {
  printf "idle %ds: cpu %.2f s (%.3f%%), wake-ups %d (%.1f/s), threads %d\n",
         secs, dt / hz, 100 * dt / hz / secs, ds, ds / secs, threads }'
# Resident memory at the end of the window, split into the process's own pages and the
# mapped libraries it touched.
awk '/^(VmRSS|RssAnon|RssFile):/ {printf "%s %.1f MB  ", $1, $2 / 1024} END {print ""}' "/proc/$pc/status"
if [[ -n "${DOVAN_IDLE_MAPS:-}" ]]; then
  awk '/^[0-9a-f]+-/ {name = $6} /^Rss:/ {rss[name] += $2} END {for (n in rss) if (rss[n] >= 200) printf "%7d KiB %s\n", rss[n], n}' \
    "/proc/$pc/smaps" | sort -rn >"$DOVAN_IDLE_MAPS"
fi
echo quit >&3
