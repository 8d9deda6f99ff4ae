#!/usr/bin/env bash
# The working demo: builds the programs (Release), formats a sparse demo medium with the storage
# tool, writes a configuration and a channel database, starts a live test channel encoded by
# ffmpeg (test pattern and tone, H.264 and AAC, one-second GOPs) sent over UDP to 127.0.0.1, and
# runs the server in the foreground. Ctrl-C stops everything it started.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DMV_TESTS=OFF

server="$top/build/release/movrel-nerio/movrel-nerio"
tool="$top/build/release/movrel-vs-storage-tool/movrel-vs-storage-tool"
work="$top/demo-data"
medium="$work/store1.bin"
mkdir -p "$work/logs"
cd "$work"

# A 4 GiB sparse medium (126 blocks of 32 MiB) for storage id 1, formatted once and kept.
if [ ! -f "$medium" ] || ! "$tool" "$medium" check >/dev/null 2>&1; then
  echo "Formatting the demo medium $medium ..."
  "$tool" "$medium" initfast=4G 1 >/dev/null
fi

cp "$top/configs/demo.cfg" "$work/movrel-nerio.cfg"
echo "STORAGE 1:$medium" >> "$work/movrel-nerio.cfg"
cp "$top/configs/demo-channels.lst" "$work/channels.lst"

ffmpeg_pid=""
server_pid=""
stop_all() {
  trap - INT TERM EXIT
  [ -n "$ffmpeg_pid" ] && kill "$ffmpeg_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  [ -n "$ffmpeg_pid" ] && wait "$ffmpeg_pid" 2>/dev/null || true
}
trap stop_all INT TERM EXIT

ffmpeg -hide_banner -loglevel error -nostdin -re \
  -f lavfi -i "testsrc2=size=640x360:rate=25" \
  -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
  -c:v libx264 -preset veryfast -tune zerolatency -b:v 2M -maxrate 2M -bufsize 1M \
  -g 25 -keyint_min 25 -sc_threshold 0 -bsf:v h264_metadata=aud=insert \
  -c:a aac -b:a 128k -ac 2 \
  -f mpegts -mpegts_service_id 1 "udp://127.0.0.1:5000?pkt_size=1316" &
ffmpeg_pid=$!

cat <<TXT

movrel-nerio demo
  working folder : $work
  configuration  : $work/movrel-nerio.cfg (re-read every 5 seconds)
  channels       : $work/channels.lst (channel 101 from ffmpeg on udp://127.0.0.1:5000)
  medium         : $medium (storage id 1)
  log files      : $work/logs/
  statistics     : curl http://127.0.0.1:8090/
  VOD ingest     : movrel-vod-push <file.ts> 127.0.0.1:8091 100000001 --storage 1
  check medium   : $tool $medium check   (after stopping the server)
  stop           : Ctrl-C

TXT

"$server" --config "$work/movrel-nerio.cfg" --logdir "$work/logs" &
server_pid=$!
wait "$server_pid" || true
server_pid=""
