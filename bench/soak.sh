#!/usr/bin/env bash
# A bounded soak: `dovan --headless` and the phone simulator, both from the sanitizer build,
# under mixed traffic for N minutes inside a private network namespace, with a ledger of
# everything sent. Not part of the test suite.
#   bench/soak.sh [--minutes N] [--build build-asan]
# Needs `scripts/build --sanitize` first.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec unshare --net bash -c 'ip link set lo up && exec python3 "$0" "$@"' "$here/soak.py" "$@"
