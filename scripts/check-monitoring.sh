#!/usr/bin/env bash
# Holds the monitoring files the package ships to their tools: the alerting rules to promtool (Debian's
# `prometheus` package), the dashboard to a JSON parser. Which metrics they name is checked by the tests
# (CliFleet.DashboardAndRulesNameOnlyServedMetrics), against a running centre and fleet.
# Usage: check-monitoring.sh [SOURCE_DIR]
set -euo pipefail
source_dir=${1:-$(dirname "$0")/..}
rules="$source_dir/monitoring/veltrano-alerts.yml"
dashboard="$source_dir/monitoring/veltrano-dashboard.json"

# promtool comes with Debian's prometheus package, in the package checks' group of install-deps.sh rather
# than the window's, so that `make run` does not put a Prometheus server on a desktop.
command -v promtool >/dev/null || "$source_dir/scripts/install-deps.sh" check
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
