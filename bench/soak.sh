#!/usr/bin/env bash
# A bounded soak: `dovan --headless` and the phone simulator, both from the sanitizer build,
# under mixed traffic for N minutes inside a private network namespace, with a ledger of
# everything sent. Not part of the test suite.
#   bench/soak.sh [--minutes N] [--build build-asan] [--keep DIR]
# Needs `scripts/build --sanitize` first. The ledger reads, per kind: sent / delivered /
# failed with a text / in flight at a drop (all sent, the answer lost with the channel, so
# neither side can know) / lost. Under ASan the resident size grows with the allocator's
# quarantine (256 MB by default) before it levels off; memory is judged on a plain build.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec unshare --net bash -c 'ip link set lo up && exec python3 "$0" "$@"' "$here/soak.py" "$@"
