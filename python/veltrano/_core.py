"""What the blocking and the asyncio front ends share: finding the companion, its arguments, reading its
JSON lines, matching them and turning them into results. Nothing here starts a process or waits."""

import json
import os
import shutil
from dataclasses import dataclass, field

from ._version import SCHEMA

# How long a listening command may take to bind its socket.
START_TIMEOUT_S = 10.0
# After SIGTERM, how long a child has to write its summary and exit before SIGKILL.
TERM_GRACE_S = 3.0
# Lines of a child kept for messages and reports.
TAIL_LINES = 20
# Lines a Timeout message shows.
MESSAGE_LINES = 6

_cli_path = None


class Timeout(AssertionError):
    """A wait that ran out. The message names what was awaited and the last lines that came instead."""


class CompanionError(RuntimeError):
    """veltrano-cli cannot be found or started, refused its arguments, or ended before it was asked to.

    ``status`` is its exit status (None while it runs), ``stderr`` its last lines on standard error.
    """

    def __init__(self, what, status=None, stderr=""):
        self.status = status
        self.stderr = stderr
        text = what if status is None else f"{what} (exit status {status})"
        if stderr.strip():
            text += ":\n" + stderr.rstrip()
        super().__init__(text)


def set_cli(path):
    """Use the veltrano-cli at ``path`` (None: $VELTRANO_CLI, then PATH); the path set before."""
    global _cli_path
    before, _cli_path = _cli_path, path
    return before


def cli():
    """The veltrano-cli to run: set_cli's, else $VELTRANO_CLI, else the one on PATH."""
    path = _cli_path or os.environ.get("VELTRANO_CLI") or shutil.which("veltrano-cli")
    if not path:
        raise CompanionError("veltrano-cli not found: put it on PATH, set VELTRANO_CLI or --veltrano-cli")
    return path


def parse_line(text):
    """A line of standard output as a dict; a line that is no JSON object as {"type": "text", "text": ...}."""
    try:
        value = json.loads(text)
    except ValueError:
        value = None
    return value if isinstance(value, dict) else {"type": "text", "text": text.rstrip("\n")}


def matcher(kind, match):
    """A test of a line: its type is ``kind`` and each key of ``match`` has the value given (or, for a
    callable, one it accepts)."""

    def matches(line):
        if line.get("type") != kind:
            return False
        for key, want in match.items():
            value = line.get(key)
            if not (want(value) if callable(want) else value == want):
                return False
        return True

    return matches


def describe(kind, match):
    """`event zone-alarm with comm=0, zone=1`, as a message names what was awaited."""
    shown = ", ".join(f"{k}={v!r}" for k, v in match.items())
    return f"{kind} with {shown}" if shown else kind


def came_text(lines):
    """The last lines that came, for a message."""
    last = lines[-MESSAGE_LINES:]
    if not last:
        return "nothing came"
    shown = "\n".join("  " + json.dumps(line, ensure_ascii=False)[:240] for line in last)
    return f"the last {len(last)} of {len(lines)} lines that came:\n{shown}"


class Lines:
    """A child's JSON lines in arrival order. A line taken by one wait is never given to another."""

    def __init__(self):
        self.all = []
        self._taken = set()
        self.ended = False

    def add(self, line):
        self.all.append(line)

    def take(self, test, start=0):
        """The first line from ``start`` on, not yet taken, that passes ``test``, now taken; None when there
        is none. A wait passes the count it has already looked at, so that a busy centre costs it only the
        new lines."""
        index = self.find_index(test, start)
        if index is None:
            return None
        self._taken.add(index)
        return self.all[index]

    def find(self, test, start=0):
        """As take, the line left for other waits."""
        index = self.find_index(test, start)
        return None if index is None else self.all[index]

    def find_index(self, test, start):
        for index in range(start, len(self.all)):
            if index not in self._taken and test(self.all[index]):
                return index
        return None

    def of(self, kind):
        return [line for line in self.all if line.get("type") == kind]

    def last(self, kind):
        found = self.of(kind)
        return found[-1] if found else None


def check_listening(line, what):
    """The listening line's address, or the reason the package cannot read this companion."""
    if line.get("schema") != SCHEMA:
        raise CompanionError(f"{what} writes JSON schema {line.get('schema')!r}; this package reads {SCHEMA!r}")
    return f"{line['address']}:{line['port']}"


def seconds_ms(seconds):
    return str(max(1, round(seconds * 1000)))


def option(name, value):
    """--name VALUE, or nothing for None; a True flag alone; False nothing."""
    if value is None or value is False:
        return []
    if value is True:
        return [name]
    return [name, str(value)]


def centre_args(port, bind, events, drop, delay, dup, bad_checksum, no_ack, seed, supervise, rules=()):
    args = (["centre", "--jsonl", "--port", str(port), "--bind", bind]
            + option("--events", events) + option("--drop", drop) + option("--delay", delay)
            + option("--dup", dup) + option("--bad-checksum", bad_checksum) + option("--no-ack", no_ack)
            + option("--seed", seed) + option("--supervise", supervise))
    for rule in [rules] if isinstance(rules, str) else rules:
        args += ["--rule", rule]
    return args


def send_args(command, to, words, expect_ack, timeout, retries, extra=()):
    return ([command, "--jsonl", "--to", to, "--timeout", seconds_ms(timeout), "--retries", str(retries)]
            + option("--expect-ack", expect_ack) + list(extra) + list(words))


def event_args(to, keys, comm, dev, zone, expect_ack, timeout, retries):
    return send_args("send", to, [str(k) for k in keys], expect_ack, timeout, retries,
                     ["--comm", str(comm), "--dev", str(dev), "--zone", str(zone)])


def fleet_args(to, panels, heartbeat, events, duration, seed, frames):
    return (["fleet", "--jsonl", "--to", to, "--panels", str(panels)] + option("--heartbeat", heartbeat)
            + option("--events", events) + option("--duration", duration) + option("--seed", seed)
            + option("--frames", frames))


def ids(name, value):
    """--name A,B for ids given as one string or a list; nothing when none."""
    return [] if not value else [name, ",".join([value] if isinstance(value, str) else value)]


def test_centre_args(to, only, skip, timeout, load_rate, load_seconds):
    return (["test", "centre", "--jsonl", "--to", to] + ids("--only", only) + ids("--skip", skip)
            + option("--timeout", None if timeout is None else seconds_ms(timeout))
            + option("--load-rate", load_rate) + option("--load-seconds", load_seconds))


def test_panel_args(port, bind, duration, frames, withhold, retries, heartbeat):
    return (["test", "panel", "--jsonl", "--port", str(port), "--bind", bind] + option("--duration", duration)
            + option("--frames", frames) + option("--withhold", withhold) + option("--retries", retries)
            + option("--heartbeat", heartbeat))


def proxy_args(to, rules, seed, events, port, bind):
    args = ["proxy", "--jsonl", "--to", to, "--port", str(port), "--bind", bind, "--control", "0"]
    for rule in [rules] if isinstance(rules, str) else rules:
        args += ["--rule", rule]
    return args + option("--seed", seed) + option("--events", events)


def fuzz_centre_args(to, cases, duration, seed, rate, only, skip, findings, probe_every, probe_timeout,
                     max_findings):
    return (["fuzz", "centre", "--jsonl", "--to", to] + option("--cases", cases) + option("--duration", duration)
            + option("--seed", seed) + option("--rate", rate) + ids("--only", only) + ids("--skip", skip)
            + option("--findings", None if findings is None else os.fspath(findings))
            + option("--probe-every", probe_every) + option("--probe-timeout", probe_timeout)
            + option("--max-findings", max_findings))


def fuzz_panel_args(port, bind, duration, silence, confirm, late, seed, only, skip, findings, restart,
                    max_findings):
    return (["fuzz", "panel", "--jsonl", "--port", str(port), "--bind", bind] + option("--duration", duration)
            + option("--silence", silence) + option("--confirm", confirm) + option("--late", late)
            + option("--seed", seed) + ids("--only", only) + ids("--skip", skip)
            + option("--findings", None if findings is None else os.fspath(findings))
            + option("--restart", restart) + option("--max-findings", max_findings))


def scenario_args(path, variables):
    args = ["run", "--jsonl", os.fspath(path)]
    for name, value in variables.items():
        args += ["--var", f"{name}={value}"]
    return args


def hex_of(hex_or_bytes):
    if isinstance(hex_or_bytes, (bytes, bytearray, memoryview)):
        return " ".join(f"{b:02X}" for b in bytes(hex_or_bytes))
    return hex_or_bytes


@dataclass(frozen=True)
class Verdict:
    """A case of test centre or test panel, or a step of a scenario: ``id``, ``passed``, ``message`` (what
    was expected and what came), ``result`` ("passed", "failed" or "skipped"), ``time_s``."""

    id: str
    passed: bool
    message: str
    result: str
    time_s: float

    def __str__(self):
        return f"{self.id}: {self.result}: {self.message}"


class Verdicts(list):
    """The verdicts of the cases that ran, in order; ``skipped`` the cases left out, ``summary`` the run's
    summary line, ``failed`` those that failed."""

    def __init__(self, ran, skipped, summary):
        super().__init__(ran)
        self.skipped = skipped
        self.summary = summary

    @property
    def failed(self):
        return [v for v in self if not v.passed]


# Verdicts given out since the pytest plugin last looked: shown with a failed test.
recent_verdicts = []


def verdicts_of(lines):
    made = [Verdict(v["case"], v["result"] == "passed", v["message"], v["result"], v["time_s"])
            for v in lines.of("verdict")]
    recent_verdicts.extend(made)
    return Verdicts([v for v in made if v.result != "skipped"], [v for v in made if v.result == "skipped"],
                    lines.last("summary"))


class Findings(list):
    """The findings of a fuzz run, in order: dicts as finding.json holds them (kind "crash", "hang" or
    "rule", message, frames, command...) with the folder written; ``summary`` the run's summary line."""

    def __init__(self, findings, summary):
        super().__init__(findings)
        self.summary = summary


def findings_of(lines):
    return Findings(lines.of("finding"), lines.last("summary"))


# How long a request to the proxy's control API may take.
CONTROL_TIMEOUT_S = 5.0


def control_of(lines, what):
    """(host, port) of the control API the proxy's listening line names."""
    line = lines.of("listening")[0]
    if "control" not in line:
        raise CompanionError(f"{what} names no control port in {line}")
    return line["address"], line["control"]


def control_request(method, path, body=""):
    """A request to the control API as it goes on the wire (one per connection)."""
    data = body.encode()
    return (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(data)}\r\n"
            f"Connection: close\r\n\r\n").encode() + data


def control_answer(raw):
    """(status, body) of the control API's whole answer."""
    head, _, body = raw.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


def control_result(what, status, body, wanted):
    """The answer's JSON (None without a body) when its status is ``wanted``; else ValueError naming
    ``what`` and the proxy's reason ("column 4: unknown action 'vanish' ...")."""
    value = json.loads(body) if body.strip() else None
    if status != wanted:
        reason = value.get("error") if isinstance(value, dict) else body.decode(errors="replace")
        raise ValueError(f"{what}: {reason} (HTTP {status})")
    return value


@dataclass
class Exchange:
    """A frame send or hex sent (``frame``, its first copy's line), how many copies went (``copies``), the
    acknowledgement's line (``answer``, None without one) and the round trip (``rtt_us``)."""

    frame: dict
    copies: int = 1
    answer: dict = None
    rtt_us: int = None


class Exchanges(list):
    """The exchanges of a send or hex run, in order; ``summary`` its summary line."""

    def __init__(self, exchanges, summary):
        super().__init__(exchanges)
        self.summary = summary


def _key(line):
    cmd = line.get("cmd")
    return line.get("comm"), line.get("dev"), None if cmd is None else cmd & 0x7F


def exchanges_of(lines):
    """Each frame sent, its copies folded in, with the acknowledgement that paired with it (the oldest frame
    of its key waiting, as the companion pairs them)."""
    exchanges = []
    for line in lines.of("frame"):
        if line.get("dir") == "out":
            copy = next((e for e in exchanges if e.answer is None and e.frame["hex"] == line["hex"]), None)
            if copy:
                copy.copies += 1
            else:
                exchanges.append(Exchange(line))
        elif "rtt_us" in line:
            waiting = next((e for e in exchanges if e.answer is None and _key(e.frame) == _key(line)), None)
            if waiting:
                waiting.answer, waiting.rtt_us = line, line["rtt_us"]
    return Exchanges(exchanges, lines.last("summary"))


def unanswered_text(exchanges, to, timeout, retries):
    missing = [e for e in exchanges if e.answer is None]
    shown = "\n".join(f"  {e.frame['hex']} ({e.frame.get('summary', '')}, {e.copies} sent)" for e in missing)
    return (f"no acknowledgement from {to} within {timeout} s (retries {retries}) of {len(missing)} of "
            f"{len(exchanges)} frames:\n{shown}")


@dataclass
class Tail:
    """The last lines of a child on standard error, for messages and the plugin's report."""

    lines: list = field(default_factory=list)

    def add(self, text):
        self.lines.append(text.rstrip("\n"))
        del self.lines[:-TAIL_LINES]

    def text(self):
        return "\n".join(self.lines)
