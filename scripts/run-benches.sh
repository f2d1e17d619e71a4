#!/usr/bin/env bash
# Runs every bench of a build and prints one table of the figures they measured against their goals.
# Usage: run-benches.sh BUILD_DIR
#
# A bench reports a figure with a line of the form
#   RESULT|<figure>|<measured>|<goal>|<OK or MISSED>
# A bench without such lines contributes its ratio and speed-up lines, without a goal.
# The exit status is non-zero when a bench fails to run; a missed goal is reported, not failed.
set -uo pipefail
build=${1:?build dir}
# Programs under BUILD_DIR/bench; one not built is listed as such.
benches=(core_bench window_bench cli_bench fleet_bench book_bench)

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rows="$work/rows"
: >"$rows"
status=0

# CPU time counters of the whole machine: "total steal", in clock ticks. The host of a virtual machine may
# run others on its CPUs ("steal"); a bench that lost a share of its time that way measured less than its
# code does.
cpu_ticks() { awk '/^cpu / { t = 0; for (i = 2; i <= NF; ++i) t += $i; print t, $9 }' /proc/stat; }
# Appends the steal row of bench $1, since the counters $2.
steal_row() {
    local name=$1 before=$2 total steal total2 steal2 share
    read -r total steal <<<"$before"
    read -r total2 steal2 <<<"$(cpu_ticks)"
    share=$(awk -v s=$((steal2 - steal)) -v t=$((total2 - total)) 'BEGIN { printf "%.1f%%", (t > 0 ? 100 * s / t : 0) }')
    echo "host's share of the CPU time (steal) during $name: $share"
    printf '%s|%s|%s|%s|%s\n' "$name" "CPU time the host took from this machine (steal)" "$share" "-" "-" >>"$rows"
}

for name in "${benches[@]}"; do
    exe="$build/bench/$name"
    if [ ! -x "$exe" ]; then
        echo "== $name: not built"
        printf '%s|%s|%s|%s|%s\n' "$name" "(not built)" "-" "-" "-" >>"$rows"
        continue
    fi
    echo "== $name"
    log="$work/$name.log"
    ticks=$(cpu_ticks)
    "$exe" 2>&1 | tee "$log"
    code=${PIPESTATUS[0]}
    if [ "$code" -ne 0 ]; then
        printf '%s|%s|%s|%s|%s\n' "$name" "(exited with status $code)" "-" "-" "FAILED" >>"$rows"
        status=1
    fi
    if grep -q '^RESULT|' "$log"; then
        grep '^RESULT|' "$log" | sed "s/^RESULT|/$name|/" >>"$rows"
    else
        grep -Eiw 'ratio|speed-up' "$log" | grep -v '^RESULT' | tr -s ' ' |
            while IFS= read -r line; do printf '%s|%s|%s|%s|%s\n' "$name" "$line" "" "-" "-"; done >>"$rows"
    fi
    steal_row "$name" "$ticks"
done

# Script-driven benches of the companion's commands, against each other on loopback.
if [ -x "$build/cli/veltrano-cli" ]; then
    echo "== replay_bench"
    log="$work/replay_bench.log"
    ticks=$(cpu_ticks)
    "$(dirname "$0")/../bench/replay_bench.sh" "$build" 2>&1 | tee "$log"
    grep '^RESULT|' "$log" | sed "s/^RESULT|/replay_bench|/" >>"$rows"
    steal_row replay_bench "$ticks"
    echo "== fuzz_bench"
    log="$work/fuzz_bench.log"
    ticks=$(cpu_ticks)
    "$(dirname "$0")/../bench/fuzz_bench.sh" "$build" 2>&1 | tee "$log"
    grep '^RESULT|' "$log" | sed "s/^RESULT|/fuzz_bench|/" >>"$rows"
    steal_row fuzz_bench "$ticks"
fi

echo
echo "== Summary"
awk -F'|' '
    { for (i = 1; i <= 5; ++i) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) } }
    $5 == "OK" { ++met } $5 == "MISSED" { ++missed }
    END {
        split("Bench|Figure|Measured|Goal|Met", head, "|")
        for (i = 1; i <= 5; ++i) if (length(head[i]) > width[i]) width[i] = length(head[i])
        line = sprintf("%-*s  %-*s  %-*s  %-*s  %s", width[1], head[1], width[2], head[2], width[3], head[3],
                       width[4], head[4], head[5])
        print line
        gsub(/./, "-", line); print line
        for (r = 1; r <= NR; ++r)
            printf "%-*s  %-*s  %-*s  %-*s  %s\n", width[1], cell[r, 1], width[2], cell[r, 2], width[3],
                   cell[r, 3], width[4], cell[r, 4], cell[r, 5] == "OK" ? "yes" : cell[r, 5] == "MISSED" ? "no" : cell[r, 5]
        printf "\n%d of %d goals met\n", met, met + missed
    }' "$rows"
exit $status
