#!/usr/bin/env bash
# Figures of the storage tool, built in Release:
#   - initfast=100G on a sparse 100 GiB file            (target < 2 s wall)
#   - check of that medium                               (target < 2 s wall)
#   - initfull=4G throughput beside dd writing the same number of bytes to the same disk in the
#     same run, once with conv=fdatasync and once with oflag=direct   (target ratio >= 0.9)
# Usage: bench/run_storage_tool.sh [build dir] [work dir on the disk to measure]
# The big files are removed at the end, also on failure.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build/release}"
work="${2:-$top/build/bench-storage}"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMV_TESTS=OFF >/dev/null
cmake --build "$build" --target movrel-vs-storage-tool -j 2 >/dev/null
tool="$build/movrel-vs-storage-tool/movrel-vs-storage-tool"

mkdir -p "$work"
cleanup() { rm -f "$work/sparse100g.bin" "$work/full4g.bin" "$work/dd4g.bin" "$work"/.*.ver; }
trap cleanup EXIT
cd "$work"

now_ns() { date +%s%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
mibps() { awk -v bytes="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f", bytes / 1048576 / ((b - a) / 1e9) }'; }
run_quiet() { "$@" >/dev/null 2>&1; }

echo "storage tool figures ($(uname -r), $(nproc) CPUs, work dir $work on $(df --output=source "$work" | tail -1))"

# --- initfast and check on a sparse 100 GiB file ---
cleanup
truncate -s 100G sparse100g.bin
sync
t0=$(now_ns); run_quiet "$tool" sparse100g.bin initfast=100G; t1=$(now_ns)
t2=$(now_ns); run_quiet "$tool" sparse100g.bin check; t3=$(now_ns)
printf '%-44s %8s s   (target < 2 s)\n' "initfast=100G, sparse file, 3198 blocks" "$(secs "$t0" "$t1")"
printf '%-44s %8s s   (target < 2 s)\n' "check of that medium" "$(secs "$t2" "$t3")"
rm -f sparse100g.bin

# --- initfull=4G against dd writing the same bytes ---
blocks=126                                   # the block count of 4 GiB
data_mib=$((blocks * 32))                    # the zeroed data regions
info_bytes=$((1024 + blocks * 6216))         # header area, records and indexes
tool_bytes=$((data_mib * 1048576 + info_bytes))
dd_bytes=$((data_mib * 1048576))

measure_dd() {  # $1: dd flag
    rm -f dd4g.bin; sync
    local a b
    a=$(now_ns); dd if=/dev/zero of=dd4g.bin bs=1M count="$data_mib" "$1" status=none; b=$(now_ns)
    rm -f dd4g.bin
    mibps "$dd_bytes" "$a" "$b"
}
measure_tool() {
    rm -f full4g.bin; sync
    local a b
    a=$(now_ns); run_quiet "$tool" full4g.bin initfull=4G; b=$(now_ns)
    rm -f full4g.bin
    mibps "$tool_bytes" "$a" "$b"
}

# Interleaved, so that both see the same disk state; the best of two runs of each is kept.
dd_sync=0; dd_direct=0; tool_rate=0
for round in 1 2; do
    v=$(measure_dd conv=fdatasync); dd_sync=$(awk -v a="$dd_sync" -v b="$v" 'BEGIN { print (b > a) ? b : a }')
    v=$(measure_tool);               tool_rate=$(awk -v a="$tool_rate" -v b="$v" 'BEGIN { print (b > a) ? b : a }')
    v=$(measure_dd oflag=direct);    dd_direct=$(awk -v a="$dd_direct" -v b="$v" 'BEGIN { print (b > a) ? b : a }')
done
printf '%-44s %8s MiB/s\n' "initfull=4G ($tool_bytes bytes, fdatasync)" "$tool_rate"
printf '%-44s %8s MiB/s\n' "dd bs=1M count=$data_mib conv=fdatasync" "$dd_sync"
printf '%-44s %8s MiB/s\n' "dd bs=1M count=$data_mib oflag=direct" "$dd_direct"
awk -v t="$tool_rate" -v s="$dd_sync" -v d="$dd_direct" 'BEGIN {
    printf "%-44s %8.2f      (target >= 0.9)\n", "ratio initfull / dd conv=fdatasync", t / s
    printf "%-44s %8.2f      (target >= 0.9)\n", "ratio initfull / dd oflag=direct", t / d }'
