#!/usr/bin/env bash
# Files over loopback: dovan against scp, inside a network namespace of its own so nothing
# leaves the machine. Needs the built `dovan` and `phone-sim` (cmake --build build --target
# dovan phone-sim) and openssh-server (scripts/setup). Extra arguments go to files_bench.py
# (--size-mib, --runs, --build).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec unshare --net bash -c 'ip link set lo up && exec python3 "$0" "$@"' "$here/files_bench.py" "$@"
