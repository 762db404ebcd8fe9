#!/usr/bin/env bash
# The main job: sets up, builds, starts quorvex and drives it with quorvexctl through a short
# session, printing every reply as it comes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

bin=$PWD/build/bin
work=$PWD/build/demo
rm -rf "$work" && mkdir -p "$work"
cd "$work"
export QUORVEX_IPC_NAMESPACE="demo-$$-"
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen

"$bin/quorvex" 2>quorvex.log &
qpid=$!
trap 'kill $qpid 2>/dev/null || true' EXIT

echo "== session with quorvex (pid $qpid)"
printf '%s\n' "MINI" "HELLO" "EXIT" | "$bin/quorvexctl" session --timeout 60
wait $qpid
trap - EXIT
echo "== quorvex ended; its log is $work/quorvex.log"
