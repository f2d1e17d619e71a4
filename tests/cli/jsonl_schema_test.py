#!/usr/bin/env python3
"""Every JSON line of every command, checked against docs/frame.schema.json.

Runs the built companion on loopback only: a centre, and each command pointed at it (or, for `test panel`,
the companion's own sender pointed at it). Exits 1 naming each line the schema refuses, or a command that
wrote no JSON at all.

Usage: jsonl_schema_test.py VELTRANO_CLI SCHEMA EXAMPLES_DIR
"""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from jsonschema import Draft202012Validator

LIMIT_S = 60  # of any one command


def read_port(process, pattern):
    """The port the process announces on stderr, or None within a bounded wait."""
    deadline = time.monotonic() + 10
    seen = ""
    while time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            break
        seen += line
        match = re.search(pattern, line)
        if match:
            return int(match.group(1))
    sys.stderr.write(f"no port announced: {seen}\n")
    return None


def free_udp_port():
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    cli, schema_path, examples = sys.argv[1:4]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    failures = []

    def check(name, text, want_types=()):
        types = set()
        for number, line in enumerate(text.splitlines(), 1):
            if not line.strip():
                continue
            try:
                value = json.loads(line)
            except json.JSONDecodeError as e:
                failures.append(f"{name}: line {number} is no JSON ({e}): {line[:200]}")
                continue
            errors = sorted(validator.iter_errors(value), key=lambda e: e.path)
            if errors:
                failures.append(f"{name}: line {number}: {errors[0].message[:300]}: {line[:200]}")
            types.add(value.get("type") if isinstance(value, dict) else None)
        if not types:
            failures.append(f"{name}: no JSON lines")
        for wanted in want_types:
            if wanted not in types:
                failures.append(f"{name}: no line of type {wanted!r} (types: {sorted(map(str, types))})")

    def run(name, arguments, want_types=(), ok=(0, 1)):
        result = subprocess.run([cli] + arguments, capture_output=True, text=True, timeout=LIMIT_S)
        if result.returncode not in ok:
            failures.append(f"{name}: exit {result.returncode}: {result.stderr.strip()[:300]}")
        check(name, result.stdout, want_types)

    with tempfile.TemporaryDirectory() as work:
        report = os.path.join(work, "report.jsonl")
        centre_out = open(os.path.join(work, "centre.jsonl"), "w+", encoding="utf-8")
        centre = subprocess.Popen(
            [cli, "centre", "--bind", "127.0.0.1", "--port", "0", "--duration", "120", "--jsonl",
             "--supervise", "1", "--supervise-report", report],
            stdout=centre_out, stderr=subprocess.PIPE, text=True)
        try:
            port = read_port(centre, r"127\.0\.0\.1:(\d+)")
            if port is None:
                return 1
            to = f"127.0.0.1:{port}"
            capture = os.path.join(work, "sweep.pcap")
            run("send", ["send", "--to", to, "--comm", "0", "--dev", "1", "--expect-ack", "--jsonl", "online"],
                ["frame", "summary"])
            run("hex", ["hex", "--to", to, "--expect-ack", "--jsonl", "08 00 02 00 00 00 01 0B"], ["frame", "summary"])
            run("sweep", ["sweep", "--to", to, "--rate", "max", "--count", "200", "--expect-ack", "--jsonl",
                          "--pcap", capture], ["frame", "summary"])
            run("replay", ["replay", capture, "--to", to, "--rate", "max", "--jsonl"], ["frame", "summary"])
            run("fleet", ["fleet", "--to", to, "--panels", "5", "--heartbeat", "0.1", "--duration", "0.5",
                          "--frames", "--jsonl"], ["frame", "kind", "summary"])
            run("test centre", ["test", "centre", "--to", to, "--jsonl", "--timeout", "300", "--load-rate", "200",
                                "--load-seconds", "1"], ["verdict", "summary"])
            run("run", ["run", os.path.join(examples, "panel-alarm-and-restore.yaml"), "--var", f"peer={to}",
                        "--jsonl"], ["verdict", "summary"])
            run("fuzz centre", ["fuzz", "centre", "--to", to, "--seed", "1", "--cases", "300", "--rate", "max",
                                "--findings", os.path.join(work, "findings"), "--jsonl"], ["summary"])
            # The fleet's panels have fallen silent by now: the centre tells of them as missing.
            time.sleep(2.5)
        finally:
            centre.send_signal(signal.SIGINT)
            try:
                centre.communicate(timeout=LIMIT_S)
            except subprocess.TimeoutExpired:
                centre.kill()
                centre.communicate()
        centre_out.seek(0)
        check("centre", centre_out.read(), ["frame", "missing", "summary"])
        centre_out.close()
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                check("centre --supervise-report", f.read(), ["panel"])
        else:
            failures.append("centre --supervise-report: no file")

        panel_port = free_udp_port()
        panel = subprocess.Popen(
            [cli, "test", "panel", "--port", str(panel_port), "--bind", "127.0.0.1", "--duration", "1.5",
             "--jsonl"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(0.3)
            subprocess.run([cli, "send", "--to", f"127.0.0.1:{panel_port}", "--comm", "0", "--dev", "1",
                            "--expect-ack", "--timeout", "300", "online"], capture_output=True, timeout=LIMIT_S)
            out, _ = panel.communicate(timeout=LIMIT_S)
        except subprocess.TimeoutExpired:
            panel.kill()
            out, _ = panel.communicate()
        check("test panel", out, ["verdict", "summary"])

    run("decode", ["decode", "--jsonl", "0C 00 01 00 00 00 02 01 11 00 00 21", "08 00 01 00 00 00 82 8B", "05 F0"],
        ["frame"], ok=(0,))
    run("events", ["events", "--jsonl"], ["event"])

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
