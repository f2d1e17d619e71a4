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


def main():
    cli, schema_path, examples = sys.argv[1:4]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    failures = []

    # The version the listening lines give is the schema's own.
    if schema["$defs"]["listening"]["properties"]["schema"]["const"] != schema["version"]:
        failures.append("listening: its schema const is not the schema's version")

    def check(name, text, want_types=(), first=None):
        types = set()
        lines = [line for line in text.splitlines() if line.strip()]
        if first and (not lines or f'"type":"{first}"' not in lines[0]):
            failures.append(f"{name}: the first line is no {first} line: {lines[:1]}")
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
            # Through a proxy with a fault rule and the events read off the panels' frames.
            proxy = subprocess.Popen(
                [cli, "proxy", "--bind", "127.0.0.1", "--port", "0", "--to", to, "--jsonl", "--events",
                 "--count", "3", "--rule", "down dup command=ack", "--duration", "30"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            proxy_port = read_port(proxy, r"127\.0\.0\.1:(\d+)")
            if proxy_port is not None:
                run("send through proxy", ["send", "--to", f"127.0.0.1:{proxy_port}", "--comm", "0", "--dev", "3", "--zone", "1",
                                           "--expect-ack", "--jsonl", "online", "zone-alarm", "zone-alarm-restore"],
                    ["frame", "summary"])
            try:
                proxy_out, _ = proxy.communicate(timeout=LIMIT_S)
            except subprocess.TimeoutExpired:
                proxy.kill()
                proxy_out, _ = proxy.communicate()
            check("proxy", proxy_out, ["frame", "event", "summary"])
            # A panel fuzzed: a frame a tenth of a second, one pause past the silence limit.
            fuzz = subprocess.Popen(
                [cli, "fuzz", "panel", "--port", "0", "--silence", "0.3", "--confirm", "5", "--duration", "3",
                 "--findings", os.path.join(work, "panel-findings"), "--jsonl"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            fuzz_port = read_port(fuzz, r"127\.0\.0\.1:(\d+)")
            if fuzz_port is not None:
                for _ in range(2):
                    run("send to fuzz panel", ["send", "--to", f"127.0.0.1:{fuzz_port}", "--comm", "0", "--dev", "4",
                                               "--jsonl", "online", "online", "online"], ["frame", "summary"])
                    time.sleep(0.6)
            try:
                fuzz_out, _ = fuzz.communicate(timeout=LIMIT_S)
            except subprocess.TimeoutExpired:
                fuzz.kill()
                fuzz_out, _ = fuzz.communicate()
            check("fuzz panel", fuzz_out, ["suspect", "finding", "summary"], first="listening")
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
        check("centre", centre_out.read(), ["frame", "missing", "summary"], first="listening")
        centre_out.close()
        if os.path.exists(report):
            with open(report, encoding="utf-8") as f:
                check("centre --supervise-report", f.read(), ["panel"])
        else:
            failures.append("centre --supervise-report: no file")

        # Each listening command on port 0, the port read from its first line, and a sender pointed at it.
        listeners = [
            {"name": "test panel", "listen": ["test", "panel", "--port", "0", "--bind", "127.0.0.1", "--duration",
                                              "1.5", "--jsonl"],
             "send": ["--comm", "0", "--dev", "1", "online"]},
            {"name": "run as a centre", "listen": ["run", os.path.join(examples, "centre-expects-alarm.yaml"),
                                                   "--var", "port=0", "--jsonl"],
             "send": ["--comm", "0", "--dev", "1", "--zone", "1", "--retries", "2", "zone-alarm",
                      "zone-alarm-restore"]},
            {"name": "proxy", "listen": ["proxy", "--bind", "127.0.0.1", "--port", "0", "--to", "127.0.0.1:9",
                                         "--control", "0", "--count", "1", "--jsonl"],
             "send": ["--comm", "0", "--dev", "1", "online"], "want": ["frame", "summary"]},
        ]
        for listener in listeners:
            process = subprocess.Popen([cli] + listener["listen"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True)
            try:
                first = process.stdout.readline()
                port = json.loads(first)["port"] if first.startswith("{") else 0
                subprocess.run([cli, "send", "--to", f"127.0.0.1:{port}", "--expect-ack", "--timeout", "300"]
                               + listener["send"], capture_output=True, timeout=LIMIT_S)
                out, _ = process.communicate(timeout=LIMIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                out, _ = process.communicate()
            check(listener["name"], first + out, listener.get("want", ["verdict", "summary"]), first="listening")

    run("decode", ["decode", "--jsonl", "0C 00 01 00 00 00 02 01 11 00 00 21", "08 00 01 00 00 00 82 8B", "05 F0"],
        ["frame"], ok=(0,))
    run("events", ["events", "--jsonl"], ["event"])

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
