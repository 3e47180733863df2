#!/usr/bin/env bash
# How soon a paired `dovan --headless` notices that the phone went away, and how soon it is
# paired again once the phone is back. The phone simulator vanishes (`away`: drops the link
# and the LAN channel, stops advertising, returns after a few seconds); the script prints the
# time from that moment until the console says the session is lost ("state 6"), then from
# the phone's return ("back") until it is paired again ("state 4"). Once over the sim radio,
# once through the BlueZ stand-in on a private bus in front of the same radio.
#   bench/link_loss.sh [build-dir] [rounds] [sim|bluez|both]
# Runs inside a private network namespace when it can, so nothing leaves loopback.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-3}
which=${3:-both}

if [[ -z "${DOVAN_LOSS_NS:-}" ]] && unshare --net true 2>/dev/null; then
  exec unshare --net env DOVAN_LOSS_NS=1 bash -c 'ip link set lo up && exec "$@"' _ "$0" "$build" "$rounds" "$which"
fi

work=$(mktemp -d /tmp/dovan-loss.XXXXXX)
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  exec 4>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [[ -n "${DOVAN_LOSS_KEEP:-}" ]]; then echo "logs kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
# Waits up to $2 seconds for a line starting with $1 in file $3 after line $4; prints the
# moment it was seen.
seen_at() {
  local end
  end=$(awk -v n="$(now)" -v s="$2" 'BEGIN { printf "%.3f", n + s }')
  while awk -v n="$(now)" -v e="$end" 'BEGIN { exit !(n < e) }'; do
    if tail -n +"$(($4 + 1))" "$3" | grep -q -- "^$1"; then now; return 0; fi
    sleep 0.02
  done
  echo "link_loss: no '$1' in $3 within $2 s" >&2
  return 1
}
lines() { wc -l <"$1"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

run() {  # backend
  local backend=$1 dir="$work/$1" port
  mkdir -p "$dir/radio" "$dir/appdata"
  port=$((20000 + RANDOM % 20000))
  local env=(DOVAN_SIM_RADIO="$dir/radio" APPDATA="$dir/appdata")
  if [[ "$backend" == bluez ]]; then
    cat >"$dir/bus.conf" <<CONF
<busconfig><type>dovan</type><listen>unix:path=$dir/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/>
<allow send_type="method_call"/><allow send_type="signal"/><allow send_type="method_return"/>
<allow send_type="error"/><allow receive_type="method_call"/><allow receive_type="signal"/>
<allow receive_type="method_return"/><allow receive_type="error"/></policy></busconfig>
CONF
    dbus-daemon --config-file="$dir/bus.conf" --nofork >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 1 50); do [[ -S "$dir/bus" ]] && break; sleep 0.1; done
    "$build/bluez-standin" --bus "unix:path=$dir/bus" --radio "$dir/radio" >"$dir/standin.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    env=(DOVAN_SIM_RADIO= DOVAN_BLUEZ_BUS="unix:path=$dir/bus" APPDATA="$dir/appdata")
  fi

  mkfifo "$dir/phone.in" "$dir/pc.in"
  "$build/phone-sim" --radio "$dir/radio" --data "$dir/phone" --lan-port "$port" \
    <"$dir/phone.in" >"$dir/phone.out" 2>/dev/null &
  pids+=($!)
  exec 4>"$dir/phone.in"
  seen_at "address " 30 "$dir/phone.out" 0 >/dev/null
  local addr
  addr=$(awk '/^address /{print $2; exit}' "$dir/phone.out")
  env "${env[@]}" "$build/dovan" --headless --lan-port "$port" <"$dir/pc.in" >"$dir/pc.out" 2>"$dir/pc.err" &
  pids+=($!)
  exec 3>"$dir/pc.in"

  for _ in $(seq 1 100); do
    echo devices >&3
    sleep 0.2
    grep -q "^device $addr" "$dir/pc.out" && break
  done
  echo "connect $addr" >&3
  seen_at "sas " 30 "$dir/pc.out" 0 >/dev/null
  echo "sas confirm" >&3
  seen_at "state 4" 30 "$dir/pc.out" 0 >/dev/null
  seen_at "tcp 1" 30 "$dir/pc.out" 0 >/dev/null
  sleep 2  # the configuration sync and the first heartbeats settle

  local r from t0 t1 t2 t3
  for r in $(seq 1 "$rounds"); do
    from=$(lines "$dir/pc.out")
    local phone_from
    phone_from=$(lines "$dir/phone.out")
    t0=$(now)
    echo "away 3" >&4
    t1=$(seen_at "state 6" 20 "$dir/pc.out" "$from")
    t2=$(seen_at "back" 20 "$dir/phone.out" "$phone_from")
    # The return can be quicker than this script's look: search from the loss on.
    from=$(awk -v f="$from" 'NR > f && /^state 6/ { print NR; exit }' "$dir/pc.out")
    t3=$(seen_at "state 4" 30 "$dir/pc.out" "$from")
    # A return seen before the script saw "back" counts as at once.
    awk -v a="$t2" -v b="$t3" 'BEGIN { exit !(b < a) }' && t3=$t2
    echo "$backend round $r: lost shown after $(elapsed "$t0" "$t1") s, paired again $(elapsed "$t2" "$t3") s after the phone was back (polled every 20 ms)"
    seen_at "tcp 1" 30 "$dir/pc.out" "$from" >/dev/null
    sleep 1
  done
  echo quit >&3
  exec 3>&- 4>&-
}

[[ "$which" == sim || "$which" == both ]] && run sim
[[ "$which" == bluez || "$which" == both ]] && run bluez
exit 0
