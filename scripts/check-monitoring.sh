#!/usr/bin/env bash
# Holds the monitoring files the package ships to their tools: the alerting rules to promtool (Debian's
# `prometheus` package), the dashboard to a JSON parser. Which metrics they name is checked by the tests
# (CliFleet.DashboardAndRulesNameOnlyServedMetrics), against a running centre and fleet.
# Usage: check-monitoring.sh [SOURCE_DIR]
set -euo pipefail
source_dir=${1:-$(dirname "$0")/..}
rules="$source_dir/monitoring/veltrano-alerts.yml"
dashboard="$source_dir/monitoring/veltrano-dashboard.json"

# promtool comes with Debian's prometheus package, installed here rather than by install-deps.sh so that
# `make run` does not put a Prometheus server on a desktop.
if ! command -v promtool >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends prometheus
fi
promtool check rules "$rules"

if command -v python3 >/dev/null; then
    python3 -m json.tool "$dashboard" >/dev/null
elif command -v jq >/dev/null; then
    jq empty "$dashboard"
else
    echo "check-monitoring: neither python3 nor jq to parse $dashboard" >&2
    exit 1
fi
echo "check-monitoring: $dashboard is JSON"
