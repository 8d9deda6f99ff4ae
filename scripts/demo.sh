#!/usr/bin/env bash
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DMV_TESTS=OFF

work="$top/demo-data"
mkdir -p "$work/logs"
cp configs/demo.cfg "$work/movrel-nerio.cfg"
touch "$work/channels.lst"

echo
echo "movrel-nerio demo"
echo "  working folder : $work"
echo "  configuration  : $work/movrel-nerio.cfg (re-read every 5 seconds)"
echo "  log files      : $work/logs/"
echo "  stop           : Ctrl-C"
echo

cd "$work"
server="$top/build/release/movrel-nerio/movrel-nerio"
"$server" --config "$work/movrel-nerio.cfg" --logdir "$work/logs" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true' INT TERM
wait $pid || true
trap - INT TERM
wait $pid 2>/dev/null || true
