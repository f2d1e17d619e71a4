#!/usr/bin/env bash
# The companion's bash completion, sourced into a real bash: COMP_WORDS and COMP_CWORD as bash sets them
# for the line, then the completion function, then COMPREPLY.
# Usage: completion_test.sh SCRIPT   (the script `veltrano-cli completion bash` wrote)
set -uo pipefail
source "$1" || { echo "cannot source $1"; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/walk.yaml" "$dir/wall.pcap"

passed=0
failed=0
# name | words of the line, the last one being completed | the completions expected, sorted
while IFS='|' read -r name line expected; do
    [ -z "$name" ] && continue
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _veltrano_cli
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
    if [ "$got" = "$expected" ]; then
        passed=$((passed + 1))
    else
        echo "FAIL $name: '$line' gave '$got', expected '$expected'"
        failed=$((failed + 1))
    fi
done <<CASES
subcommands|veltrano-cli s|send sweep
one subcommand|veltrano-cli se|send
top-level option|veltrano-cli --ver|--version
hidden subcommand not offered|veltrano-cli comp|
option of send|veltrano-cli send --ex|--expect-ack
options are per subcommand|veltrano-cli decode --j|--jsonl
event key|veltrano-cli send --to x:1 --comm 0 --dev 1 zone-a|zone-alarm zone-alarm-restore zone-arm
event after an event|veltrano-cli send --to x:1 online dev|device-arm device-disarm
value of an option is not an event|veltrano-cli send --comm |
pcap file|veltrano-cli sweep --pcap $dir/wa|$dir/walk.yaml $dir/wall.pcap
no events for hex|veltrano-cli hex --to x:1 zone|
CASES

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
