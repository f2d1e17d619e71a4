#!/usr/bin/env bash
# Runs every fuzzer for a bounded time on a scratch copy of its committed seed corpus.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A max_len=([command_text]=300 [destination]=256 [receive]=8192 [decoder]=2048 [cli_inputs]=1024 [capture_reader]=4096 [scenario]=4096 [panel_book]=4096
    [fault_rules]=2048 [finding]=4096)
# Every target of fuzz/CMakeLists.txt: one left out here would pass without ever running.
names=(command_text destination receive decoder cli_inputs capture_reader scenario panel_book fault_rules finding)
status=0
for name in "${names[@]}"; do
    exe="$build/fuzz/fuzz_$name"
    [ -x "$exe" ] || { echo "missing $exe"; exit 1; }
    mkdir -p "$work/$name"
    cp -r "$root/fuzz/corpus/$name/." "$work/$name/" 2>/dev/null || true
    echo "== fuzz_$name for ${seconds}s"
    if ! (cd "$work" && QT_QPA_PLATFORM=offscreen "$exe" -max_total_time="$seconds" -max_len="${max_len[$name]}" \
            -print_final_stats=1 "$work/$name" 2>"$work/$name.log"); then
        tail -n 60 "$work/$name.log"
        status=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$work/$name.log" | tail -n 2 || true
    fi
done
if [ $status -eq 0 ]; then echo "fuzzers: ${#names[@]} passed, 0 failed"; fi
exit $status
