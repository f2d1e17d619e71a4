#!/usr/bin/env bash
# fuzz centre on loopback: cases a second against the companion's centre at --rate max with a probe every 50
# cases, and the CPU it takes; a centre that crashes on one case in about 5,000, found and minimised with a
# restart of 0.3 s; a centre that loses 15% of its answers, 100,000 cases without a finding. Prints RESULT
# lines for run-benches.sh.
# Usage: fuzz_bench.sh BUILD_DIR
set -uo pipefail
cli="${1:?build dir}/cli/veltrano-cli"
target="$(dirname "$0")/../tests/cli/fuzz_target.py"
work=$(mktemp -d)
centre_pid=
trap '[ -n "$centre_pid" ] && kill "$centre_pid" 2>/dev/null; [ -f "$work/pid" ] && kill -9 "$(cat "$work/pid")" 2>/dev/null; rm -rf "$work"' EXIT

"$cli" centre --bind 127.0.0.1 --port 0 --duration 600 >"$work/centre.log" 2>&1 &
centre_pid=$!
for _ in $(seq 50); do
    port=$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/centre.log" | head -n1 | cut -d: -f2)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "${port:-}" ] || { echo "centre did not start"; exit 1; }
result() { printf 'RESULT|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4"; }

# Cases a second and the share of a core (user + system over wall time) of 200,000 cases.
/usr/bin/time -f '%e %U %S' -o "$work/time" "$cli" fuzz centre --to "127.0.0.1:$port" --seed 1 --rate max \
    --probe-every 50 --cases 200000 --findings "$work/f1" >"$work/fast.log" 2>&1
rate=$(grep -oE ' rate=[0-9.]+' "$work/fast.log" | cut -d= -f2 | cut -d. -f1)
read -r wall user sys <"$work/time"
core=$(echo "scale=2; ($user + $sys) / $wall" | bc)
result "cases/s against centre, --rate max, probe every 50" "${rate:-0}" ">= 20000" \
    "$([ "${rate:-0}" -ge 20000 ] && echo OK || echo MISSED)"
result "CPU of fuzz centre at --rate max (cores)" "$core" "< 1" \
    "$([ "$(echo "$core < 1" | bc)" = 1 ] && echo OK || echo MISSED)"

# One crash in about 5,000 cases, found, confirmed and minimised; the restart takes 0.3 s.
fport=$((port + 1))
[ "$fport" -le 65535 ] || fport=$((port - 1))
python3 "$target" "$fport" rare-crash "$work/pid" 120
start=$(date +%s.%N)
"$cli" fuzz centre --to "127.0.0.1:$fport" --seed 2 --rate max --confirm 1 --probe-timeout 0.1 --jsonl \
    --restart "sleep 0.3; python3 $target $fport rare-crash $work/pid 120" --restart-timeout 5 \
    --duration 120 --findings "$work/f2" >"$work/crash.log" 2>&1
took=$(echo "$(date +%s.%N) - $start" | bc | cut -d. -f1)
frames=$(grep '"type":"finding"' "$work/crash.log" | grep -oE '"frames":\[[^]]*\]' | grep -o '"[0-9A-F ]*"' | wc -l)
found=$(grep -c '"kind":"crash"' "$work/crash.log")
result "1-in-5000 crash found and minimised (s, frames)" "${took}s, $frames" "< 60 s, 1" \
    "$([ "$found" -ge 1 ] && [ "$frames" -eq 1 ] && [ "$took" -lt 60 ] && echo OK || echo MISSED)"

# A centre losing 15% of its answers: no finding in 100,000 cases.
"$cli" centre --bind 127.0.0.1 --port "$fport" --drop 15 --seed 1 --duration 600 >"$work/lossy-centre.log" 2>&1 &
lossy_pid=$!
sleep 0.5
"$cli" fuzz centre --to "127.0.0.1:$fport" --seed 3 --rate max --probe-timeout 0.1 --cases 100000 --findings "$work/f3" \
    >"$work/lossy.log" 2>&1
kill "$lossy_pid" 2>/dev/null
findings=$(grep -oE ' findings=[0-9]+' "$work/lossy.log" | cut -d= -f2)
result "findings against a 15%-lossy centre in 100,000 cases" "${findings:-?}" "0" \
    "$([ "${findings:-1}" = 0 ] && echo OK || echo MISSED)"
