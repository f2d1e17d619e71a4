#!/usr/bin/env bash
# Replay against the companion's centre, side by side with the sweep that wrote the capture, on loopback:
# frames per second of each (wall time of the whole command, the median of three rounds) and the replay's
# peak resident memory for a capture of N and of 10 N frames. Prints RESULT lines for run-benches.sh.
# Usage: replay_bench.sh BUILD_DIR [N]
set -uo pipefail
cli="${1:?build dir}/cli/veltrano-cli"
count=${2:-100000}
work=$(mktemp -d)
centre_pid=
trap '[ -n "$centre_pid" ] && kill "$centre_pid" 2>/dev/null; rm -rf "$work"' EXIT

"$cli" centre --bind 127.0.0.1 --port 0 --duration 600 >"$work/centre.log" 2>&1 &
centre_pid=$!
for _ in $(seq 50); do
    port=$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/centre.log" | head -n1 | cut -d: -f2)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "${port:-}" ] || { echo "centre did not start"; exit 1; }

seconds() { local start=$1; echo "$(date +%s.%N) - $start" | bc; }
rate_of() { echo "scale=0; $1 / $2" | bc; }

# sweep_rate, rss_kb for one capture size
measure() {
    local n=$1 start
    start=$(date +%s.%N)
    "$cli" sweep --to "127.0.0.1:$port" --rate max --expect-ack --count "$n" --pcap "$work/c$n.pcap" >/dev/null
    sweep_rate=$(rate_of "$n" "$(seconds "$start")")
    start=$(date +%s.%N)
    /usr/bin/time -f '%M' -o "$work/rss$n" "$cli" replay "$work/c$n.pcap" --to "127.0.0.1:$port" --rate max \
        >/dev/null || echo "replay of $n frames failed"
    replay_rate=$(rate_of "$n" "$(seconds "$start")")
    rss=$(cat "$work/rss$n")
}

# The rate in three rounds, each a sweep and its replay, the median of their ratios: a host that takes the
# CPUs away for a moment slows one round, not the figure.
ratios=()
for _ in 1 2 3; do
    measure "$count"
    ratios+=("$(echo "scale=2; $replay_rate / $sweep_rate" | bc)")
    echo "sweep $sweep_rate frames/s, replay $replay_rate frames/s, ratio ${ratios[-1]}"
done
ratio=$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n 2p)
small_rss=$rss
met=$(echo "$ratio >= 0.9" | bc)
echo "RESULT|replay rate / sweep rate, $count frames, median of 3|${ratio}x|>= 0.9x|$([ "$met" = 1 ] && echo OK || echo MISSED)"

measure $((count * 10))
growth=$(echo "scale=2; $rss / $small_rss" | bc)
echo "replay peak RSS: $small_rss KiB at $count frames, $rss KiB at $((count * 10))"
met=$(echo "$growth <= 1.1" | bc)
echo "RESULT|replay peak RSS, 10x frames / 1x|${growth}x|<= 1.1x|$([ "$met" = 1 ] && echo OK || echo MISSED)"
