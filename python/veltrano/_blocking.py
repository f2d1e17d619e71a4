"""The blocking front end: a centre, a proxy and a fleet that run beside the caller, and the commands that
run to their end."""

import urllib.error
import urllib.request

from . import _core
from ._core import CompanionError, Timeout
from ._process import Child, listen, run_to_end

# Bound of a command that runs to its end, unless the call gives one.
RUN_LIMIT_S = 120.0


class _Listening:
    """A command that listens and runs beside the caller: the lines it wrote and the waits on them."""

    def __init__(self, args, name):
        self._child = Child(args, name)
        self.address = listen(self._child, name)
        self.port = int(self.address.rsplit(":", 1)[1])
        self.summary = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def pid(self):
        return self._child.pid

    @property
    def frames(self):
        """Every frame line so far (dicts as docs/frame.schema.json gives them)."""
        self._child.check_alive()
        return self._child.lines.of("frame")

    @property
    def events(self):
        """Every event line so far."""
        self._child.check_alive()
        return self._child.lines.of("event")

    def expect_frame(self, timeout=2.0, **match):
        """The first frame line, arrived before or after the call and not returned before, whose keys have
        the values in ``match`` (``comm=0, dir="in"``; a value may be a callable that accepts it); Timeout
        after ``timeout`` s."""
        return self._expect("frame", match, timeout)

    def expect_event(self, key, timeout=2.0, **match):
        """As expect_frame, for an event line of ``key`` ("zone-alarm", see ``veltrano-cli events``)."""
        return self._expect("event", {"key": key, **match}, timeout)

    def expect_no_event(self, key, within=1.0, **match):
        """AssertionError if an event line of ``key`` matching ``match`` came or comes within ``within`` s."""
        test = _core.matcher("event", {"key": key, **match})
        self._child.check_alive()
        line = self._child.wait_for(test, within, take=False)
        self._child.check_alive()
        if line is not None:
            raise AssertionError(f"{_core.describe('event', {'key': key, **match})} came: {line}")

    def _expect(self, kind, match, timeout):
        self._child.check_alive()
        line = self._child.wait_for(_core.matcher(kind, match), timeout)
        if line is None:
            self._child.check_alive()
            raise Timeout(f"no {_core.describe(kind, match)} at {self.address} within {timeout} s; "
                          f"{_core.came_text(self._child.lines.all)}")
        return line

    def stop(self):
        """Ends the command; ``summary`` is then its summary line."""
        self._child.close()
        self.summary = self._child.lines.last("summary")
        return self.summary

    def tail(self):
        """The last lines of the command, as the pytest plugin reports them."""
        return self._child.tail()


class Centre(_Listening):
    """``veltrano-cli centre --jsonl`` on ``bind``:``port`` (0: a free port), started by the constructor,
    which returns once the centre listens. Each fault option is the companion's (``drop``, ``dup`` and
    ``bad_checksum`` in percent, ``delay`` in ms, ``supervise`` in s), and ``rules`` fault rules of its
    answers after them ("down withhold=1", see FAULT RULES in veltrano-cli(1)); ``events`` writes an event
    line per event a panel's frame carries.

    A context manager: leaving it, by an exception or Ctrl-C too, ends the centre (SIGTERM, then SIGKILL).
    A centre that ended unasked raises CompanionError at the next call, with its stderr and exit status.
    ``frames``, ``events``, ``expect_frame``, ``expect_event``, ``expect_no_event`` read its lines.

        with veltrano.Centre() as centre:
            veltrano.send(centre.address, "zone-alarm", zone=1)
            centre.expect_event("zone-alarm", zone=1)
    """

    def __init__(self, port=0, bind="127.0.0.1", events=True, drop=None, delay=None, dup=None,
                 bad_checksum=None, no_ack=False, seed=None, supervise=None, rules=()):
        super().__init__(_core.centre_args(port, bind, events, drop, delay, dup, bad_checksum, no_ack, seed,
                                           supervise, rules), "centre")


# Answers the control API, never through a proxy of the environment's (http_proxy): it is on 127.0.0.1.
_CONTROL = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class Proxy(_Listening):
    """``veltrano-cli proxy --jsonl`` between panels and the centre at ``to`` ("ADDR:PORT"): panels send to
    ``address`` (``bind``:``port``, 0: a free port), each datagram goes on to the centre and its answers
    back, the fault ``rules`` ("up drop pct=50", see FAULT RULES in veltrano-cli(1)) acting in order,
    their choices drawn from ``seed``. Started by the constructor, which returns once it listens; a
    context manager as Centre is, with the same ``frames`` (each with ``way`` "up" or "down", ``fault``
    and ``rule`` where a rule acted) and waits; ``events`` writes an event line per event a panel's frame
    carries.

    The rules change while it runs through its control API on 127.0.0.1 (``control``, "ADDR:PORT"):

        with veltrano.Proxy(centre.address, rules=["up withhold=1"]) as proxy:
            veltrano.send(proxy.address, "zone-alarm", retries=1, timeout=0.3)
            number = proxy.add_rule("down drop command=ack")
            proxy.remove_rule(number)
    """

    def __init__(self, to, rules=(), seed=None, events=False, port=0, bind="127.0.0.1"):
        super().__init__(_core.proxy_args(to, rules, seed, events, port, bind), "proxy")
        try:
            self.control = "{}:{}".format(*_core.control_of(self._child.lines, "proxy"))
        except BaseException:
            self._child.close()
            raise

    def add_rule(self, text):
        """Adds the rule after the others; its number. ValueError with the proxy's reason for one that
        does not read."""
        return self._ask("POST", "/rules", f"rule {text!r}", 201, text)["id"]

    def remove_rule(self, number):
        """Removes rule ``number``; ValueError when there is none."""
        self._ask("DELETE", f"/rules/{number}", f"remove rule {number}", 204)

    def rules(self):
        """The rules in order: dicts with ``id``, ``rule`` (its text), ``matched`` and ``acted`` (the
        datagrams it named and those it acted on)."""
        return self._ask("GET", "/rules", "rules", 200)["rules"]

    def _ask(self, method, path, what, wanted, body=None):
        self._child.check_alive()
        request = urllib.request.Request(f"http://{self.control}{path}", method=method,
                                         data=None if body is None else body.encode())
        try:
            with _CONTROL.open(request, timeout=_core.CONTROL_TIMEOUT_S) as answer:
                status, text = answer.status, answer.read()
        except urllib.error.HTTPError as error:
            status, text = error.code, error.read()
        except OSError as error:
            self._child.check_alive()
            raise CompanionError(f"proxy control at {self.control}: {error}") from None
        return _core.control_result(what, status, text, wanted)


def _exchanges(args, name, to, timeout, retries, expect_ack):
    lines, status = run_to_end(args, name, RUN_LIMIT_S)
    exchanges = _core.exchanges_of(lines)
    if expect_ack and (status != 0 or any(e.answer is None for e in exchanges)):
        raise Timeout(_core.unanswered_text(exchanges, to, timeout, retries))
    return exchanges


def send(to, *event_keys, comm=0, dev=1, zone=1, expect_ack=True, timeout=1.0, retries=0):
    """Sends the events (keys or catalogue indexes) to ``to`` ("ADDR:PORT") in one ``veltrano-cli send``;
    its Exchanges: each frame with its acknowledgement and round trip. Timeout when a frame has no
    acknowledgement after ``retries`` more copies, each waiting ``timeout`` s, if ``expect_ack``."""
    args = _core.event_args(to, event_keys, comm, dev, zone, expect_ack, timeout, retries)
    return _exchanges(args, "send", to, timeout, retries, expect_ack)


def send_hex(to, hex_text, expect_ack=True, timeout=1.0, retries=0):
    """Sends one datagram given as hex ("08 00 02 00 00 00 01 0B") or bytes, as send does."""
    args = _core.send_args("hex", to, [_core.hex_of(hex_text)], expect_ack, timeout, retries)
    return _exchanges(args, "hex", to, timeout, retries, expect_ack)


def decode(hex_or_bytes):
    """The decoder's fields of one datagram (hex text or bytes), as ``veltrano-cli decode --jsonl``."""
    lines, _ = run_to_end(["decode", "--jsonl", _core.hex_of(hex_or_bytes)], "decode", RUN_LIMIT_S)
    return lines.all[0]


def test_centre(to, only=None, skip=None, timeout=None, load_rate=None, load_seconds=None, limit=RUN_LIMIT_S):
    """Runs ``veltrano-cli test centre`` against the centre at ``to``; the Verdicts of the cases run (ids in
    ``only`` alone, those in ``skip`` left out). ``timeout`` is how long each case waits, in s."""
    args = _core.test_centre_args(to, only, skip, timeout, load_rate, load_seconds)
    return _core.verdicts_of(run_to_end(args, "test centre", limit)[0])


test_centre.__test__ = False  # not a test of pytest's


def test_panel(panel, port=0, bind="127.0.0.1", duration=None, frames=None, withhold=None, retries=None,
               heartbeat=None, limit=RUN_LIMIT_S):
    """Runs ``veltrano-cli test panel``: once it listens, ``panel(address)`` makes the panel under test talk
    to that "ADDR:PORT"; the run ends after ``duration`` s or ``frames`` frames. Its Verdicts."""
    args = _core.test_panel_args(port, bind, duration, frames, withhold, retries, heartbeat)
    return _core.verdicts_of(run_to_end(args, "test panel", limit, panel)[0])


test_panel.__test__ = False


def run_scenario(path, panel=None, limit=RUN_LIMIT_S, **variables):
    """Runs the scenario file with ``variables`` as its --var values; its Verdicts, one per step. For a
    centre scenario, ``panel(address)`` is called once it listens (give it ``port=0`` for a free port)."""
    return _core.verdicts_of(run_to_end(_core.scenario_args(path, variables), "run", limit, panel)[0])


def fuzz_centre(to, cases=None, duration=None, seed=None, rate=None, only=None, skip=None, findings=None,
                probe_every=None, probe_timeout=None, max_findings=None, limit=RUN_LIMIT_S):
    """Runs ``veltrano-cli fuzz centre`` against the centre at ``to`` until ``cases`` cases or ``duration``
    s (give one: without, it runs until ``limit`` and raises Timeout) or ``max_findings`` findings (1);
    its Findings, empty when the centre kept the rule and stayed alive. ``rate`` is cases a second or
    "max"; ``only``/``skip`` mutation class ids; ``findings`` the folder each finding is written under
    (default ./findings); ``seed`` repeats a run (the summary gives the one drawn)."""
    args = _core.fuzz_centre_args(to, cases, duration, seed, rate, only, skip, findings, probe_every,
                                  probe_timeout, max_findings)
    return _core.findings_of(run_to_end(args, "fuzz centre", limit)[0])


def fuzz_panel(panel, port=0, bind="127.0.0.1", duration=None, silence=None, confirm=None, late=None, seed=None,
               only=None, skip=None, findings=None, restart=None, max_findings=None, limit=RUN_LIMIT_S):
    """Runs ``veltrano-cli fuzz panel``: once it listens, ``panel(address)`` makes the panel under test send
    to that "ADDR:PORT"; its frames get mutated answers until ``duration`` s or ``max_findings`` findings
    (1). Its Findings, empty when the panel kept sending well-formed frames with no gap past ``silence``
    s; ``restart`` a shell command that brings the panel back, for minimised findings."""
    args = _core.fuzz_panel_args(port, bind, duration, silence, confirm, late, seed, only, skip, findings,
                                 restart, max_findings)
    return _core.findings_of(run_to_end(args, "fuzz panel", limit, panel)[0])


class Fleet:
    """``veltrano-cli fleet``: ``panels`` simulated panels sending to ``to``, a heartbeat every ``heartbeat``
    s and ``events`` events per panel and hour, for ``duration`` s. Runs beside the caller from the
    constructor on; wait() returns its summary; leaving the context ends it."""

    def __init__(self, to, panels=1, heartbeat=None, events=None, duration=None, seed=None, frames=False):
        self._child = Child(_core.fleet_args(to, panels, heartbeat, events, duration, seed, frames), "fleet")
        self.summary = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def pid(self):
        return self._child.pid

    def wait(self, timeout=RUN_LIMIT_S):
        """The summary line once the fleet ended; Timeout if it runs past ``timeout`` s."""
        status = self._child.wait_exit(timeout)
        if status is None:
            raise Timeout(f"fleet still ran after {timeout} s; {_core.came_text(self._child.lines.all)}")
        if status not in (0, 1):
            raise CompanionError("fleet", status, self._child.stderr.text())
        self.summary = self._child.lines.last("summary")
        return self.summary

    def close(self):
        self._child.close()

    def tail(self):
        return self._child.tail()
