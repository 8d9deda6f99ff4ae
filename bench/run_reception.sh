#!/usr/bin/env bash
# End-to-end live reception figure: N channels of 8 Mbit/s (H.264 + AAC, one-second GOPs) sent by
# bench/mvts_sender to N multicast groups on the loopback interface of a private network
# namespace that this script creates, received, cut and recorded by movrel-nerio to a sparse
# medium. For each N it reports the kernel drops, the server's CPU share, the GOPs recorded per
# channel, the server's peak resident memory and the storage tool's check of the medium after a
# SIGTERM stop.
#
# Usage: bench/run_reception.sh [BUILD_DIR]   (a Release build configured with -DMV_BENCH=ON)
# Environment: STEPS="10 20 ..." channel counts, WARMUP and MEASURE seconds per step.
# Needs root (unshare -n). Nothing is sent outside the namespace. The test stream (about 20 MB)
# is kept in the build folder; everything else is removed on exit.
#
# Socket receive buffers: the server asks for 3 MiB per channel (SO_RCVBUF). net.core.rmem_max
# caps that; it cannot be written from inside a child namespace on this kernel, so the script
# only checks it and reports the value (4 MiB on the development machine, enough).
set -euo pipefail

if [ "${1:-}" = "--inside" ]; then
  # ------------------------------------------------------------------------------------------
  # One step, inside the private network namespace: --inside N WORK BUILD TS
  n="$2"; work="$3"; build="$4"; ts="$5"
  server="$build/movrel-nerio/movrel-nerio"
  tool="$build/movrel-vs-storage-tool/movrel-vs-storage-tool"
  sender="$build/bench/mvts_sender"
  warmup="${WARMUP:-10}"; measure="${MEASURE:-30}"
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo

  step="$work/n$n"
  rm -rf "$step"; mkdir -p "$step"
  cd "$step"
  server_pid=""; sender_pid=""
  finish() {
    [ -n "$sender_pid" ] && kill "$sender_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
    wait 2>/dev/null || true
  }
  trap finish EXIT

  "$tool" "$step/medium" initfast=16G 1 >"$step/format.log" 2>&1
  {
    echo "SCREENLOG 1"; echo "FILELOG 0"; echo "VERBOSE 0"; echo "IDR 1"; echo "SYNCDATA 0"
    echo "READERSLOTS 2"; echo "CACHESIZE 1g"; echo "MONITOR 127.0.0.1:8090"
    echo "STORAGE 1:$step/medium"; echo "DATABASE FILE:$step/channels.lst"
  } >"$step/server.cfg"
  for ((i = 0; i < n; i++)); do
    echo "SOURCE $((i + 1)):ts2v3:239.1.$((i / 200)).$((i % 200 + 1)):5000"
    echo "PROGRAM $((i + 1)):1:0:$((1001 + i)):2:1"
  done >"$step/channels.lst"

  : >"$step/server.log"
  "$server" -c "$step/server.cfg" >>"$step/server.log" 2>&1 &
  server_pid=$!
  for ((t = 0; t < 300; t++)); do
    [ "$(grep -c 'Starting reception for' "$step/server.log" || true)" -ge "$n" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.2
  done

  "$sender" "$ts" 239.1 "$n" 5000 "$((warmup + measure + 60))" >"$step/sender.out" 2>&1 &
  sender_pid=$!

  tck=$(getconf CLK_TCK)
  cpu() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
  udp_drops() { awk 'NR > 1 {d += $NF} END {print d + 0}' /proc/net/udp; }
  stats() { curl -s --max-time 2 http://127.0.0.1:8090/ || true; }
  last_gops() { stats | awk -F': ' '/Last received GOP:/ {print $2}'; }

  sleep "$warmup"
  t0=$(date +%s.%N); srv0=$(cpu "$server_pid"); snd0=$(cpu "$sender_pid"); udp0=$(udp_drops)
  log0=$(wc -l <"$step/server.log")
  last_gops >"$step/gops0"
  : >"$step/reports"
  end=$(awk -v t="$t0" -v m="$measure" 'BEGIN {printf "%.3f", t + m}')
  while awk -v e="$end" -v now="$(date +%s.%N)" 'BEGIN {exit !(now < e - 2)}'; do
    stats >>"$step/reports"
    sleep 2
  done
  sleep "$(awk -v e="$end" -v now="$(date +%s.%N)" 'BEGIN {d = e - now; printf "%.3f", (d > 0 ? d : 0)}')"
  t1=$(date +%s.%N); srv1=$(cpu "$server_pid"); snd1=$(cpu "$sender_pid"); udp1=$(udp_drops)
  last_gops >"$step/gops1"
  warm_drops=$(head -n "$log0" "$step/server.log" | sed -n 's/.*dropped (\([0-9]*\)) UDP datagrams.*/\1/p' | awk '{d += $1} END {print d + 0}')
  log_drops=$(tail -n "+$((log0 + 1))" "$step/server.log" | sed -n 's/.*dropped (\([0-9]*\)) UDP datagrams.*/\1/p' | awk '{d += $1} END {print d + 0}')

  # Peak resident memory of the server so far (KiB): the GOP cache, the GOP page pool and the
  # heap, as an operator would see them.
  rss=$(awk '/^VmHWM:/ {print $2}' "/proc/$server_pid/status" 2>/dev/null || echo 0)

  # The sender keeps sending while the server stops: a channel whose source is silent waits for its
  # 2-second receive timeout before it stops, and the channels stop one after another.
  kill -TERM "$server_pid"
  status=timeout
  for ((t = 0; t < 300; t++)); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
      status=0; wait "$server_pid" || status=$?
      break
    fi
    sleep 0.1
  done
  [ "$status" = timeout ] && kill -KILL "$server_pid" 2>/dev/null
  server_pid=""
  kill "$sender_pid" 2>/dev/null || true
  wait "$sender_pid" || true
  sender_pid=""
  if "$tool" "$step/medium" check >"$step/check.log" 2>&1; then check=ok; else check=FAIL; fi

  # GOPs appended to the medium, from every distinct 5-second report of the measured interval.
  written=$(awk '/statistics from/ {h = $0} /^Storage\(1\)/ {if (!(h in seen)) {seen[h] = 1; k++; sub(/.*W\(/, ""); sub(/\).*/, ""); w += $0}} END {printf "%d %d", w, k}' "$step/reports")
  # Received GOPs per channel over the measured interval (min / mean over the channels).
  gops=$(paste "$step/gops0" "$step/gops1" | awk -v n="$n" '{d = $2 - $1; s += d; if (min == "" || d < min) min = d} END {if (NR < n) min = 0; printf "%d/%.1f", min, (NR ? s / NR : 0)}')
  read -r w k <<<"$written"
  awk -v n="$n" -v t0="$t0" -v t1="$t1" -v s0="$srv0" -v s1="$srv1" -v c0="$snd0" -v c1="$snd1" -v tck="$tck" \
      -v u0="$udp0" -v u1="$udp1" -v ld="$log_drops" -v wd="$warm_drops" -v gops="$gops" -v w="$w" -v k="$k" \
      -v st="$status" -v check="$check" -v rss="${rss:-0}" -v snd="$(cat "$step/sender.out")" 'BEGIN {
    dt = t1 - t0
    split(snd, f, /[ =]+/); for (i = 2; i < length(f); i += 2) s[f[i]] = f[i + 1]
    mbps = s["mbps"] + 0
    srv = (s1 - s0) / tck / dt * 100; sc = (c1 - c0) / tck / dt * 100
    wps = (k > 0) ? w / (5 * k) : 0
    printf "ROW %d %.1f %.1f %d %d %d %.1f %.1f %.1f %s %.2f %d %.1f %s %s %d\n", n, mbps, s["target_mbps"], u1 - u0, ld, wd,
      srv, (mbps > 0 ? srv / (mbps / 100) : 0), sc, gops, wps / n, s["late2ms"], s["max_late_ms"], st, check, rss / 1024
  }'
  rm -f "$step/medium"
  exit 0
fi

# --------------------------------------------------------------------------------------------
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$top/build/bench}" && pwd)"
steps="${STEPS:-10 20 30 40 50 60 70 80}"
for p in "$build/movrel-nerio/movrel-nerio" "$build/movrel-vs-storage-tool/movrel-vs-storage-tool" \
         "$build/bench/mvts_sender"; do
  [ -x "$p" ] || { echo "run_reception: $p is not built" >&2; exit 1; }
done
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
  echo "run_reception: needs root for a private network namespace (unshare -n); skipped"
  exit 0
fi

# The test stream, made once: 20 s of 1280x720 test pictures with moving noise (so the encoder
# spends its whole rate) and a tone, H.264 at 7.5 Mbit/s with one-second GOPs and AAC, muxed at a
# constant 8 Mbit/s.
ts="$build/bench/rx-8mbit.ts"
if [ ! -s "$ts" ]; then
  echo "run_reception: encoding the 8 Mbit/s test stream (once) ..."
  ffmpeg -hide_banner -loglevel error -nostdin -y \
    -f lavfi -i "testsrc2=size=1280x720:rate=25,noise=alls=12:allf=t" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000" -t 20 \
    -c:v libx264 -preset ultrafast -g 25 -keyint_min 25 -sc_threshold 0 \
    -b:v 7.5M -maxrate 7.5M -bufsize 3M -x264-params nal-hrd=cbr -bsf:v h264_metadata=aud=insert \
    -c:a aac -b:a 128k -ac 2 -f mpegts -muxrate 8M -mpegts_service_id 1 "$ts.tmp"
  mv "$ts.tmp" "$ts"
fi

work="$(mktemp -d "$build/bench/rx-work.XXXXXX")"
cleanup() { rm -rf "$work" "$ts.tmp"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), net.core.rmem_max $(cat /proc/sys/net/core/rmem_max)"
echo "warm-up ${WARMUP:-10} s, measured ${MEASURE:-30} s per step; drops = /proc/net/udp drops column (server log sum)"
printf '%4s %8s %9s %13s %8s %11s %10s %12s %11s %11s %6s %6s %9s\n' N Mbit/s target drops srvCPU% "%/100Mbit" sndCPU% \
  "GOPs/ch" "wr GOP/ch/s" "late/max" exit check "peak MiB"
# A step with drops is run once more before the sweep stops: other work on the machine (builds)
# can stall the receive threads for seconds, and one stall should not end the sweep.
for n in $steps; do
  for try in 1 2; do
    row=$(timeout $(( ${WARMUP:-10} + ${MEASURE:-30} + 120 )) unshare -n bash "$0" --inside "$n" "$work" "$build" "$ts" \
          | grep '^ROW' || true)
    if [ -z "$row" ]; then
      echo "$n: step failed; end of the server log:"; tail -5 "$work/n$n/server.log" 2>/dev/null || true
      exit 1
    fi
    read -r _ rn mbps target udp logd warmd srv per snd gops wps late maxlate st check rssm <<<"$row"
    printf '%4s %8s %9s %6s (%5s) %8s %11s %10s %12s %11s %4s/%-5s %6s %6s %9s\n' "$rn" "$mbps" "$target" "$udp" "$logd" \
      "$srv" "$per" "$snd" "$gops" "$wps" "$late" "${maxlate}ms" "$st" "$check" "$rssm"
    [ "$warmd" != 0 ] && echo "     (warm-up drops $warmd)"
    rm -rf "$work/n$n"
    [ "$udp" = 0 ] && [ "$logd" = 0 ] && break
  done
  if [ "$udp" != 0 ] || [ "$logd" != 0 ] || awk -v a="$mbps" -v b="$target" 'BEGIN {exit !(a < 0.99 * b)}'; then
    echo "stopping: drops or the sender fell behind at N=$n (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    break
  fi
done
