"""The blocking front end: a centre and a fleet that run beside the caller, and the commands that run to
their end."""

from . import _core
from ._core import CompanionError, Timeout
from ._process import Child, listen, run_to_end

# Bound of a command that runs to its end, unless the call gives one.
RUN_LIMIT_S = 120.0


class Centre:
    """``veltrano-cli centre --jsonl`` on ``bind``:``port`` (0: a free port), started by the constructor,
    which returns once the centre listens. Each fault option is the companion's (``drop``, ``dup`` and
    ``bad_checksum`` in percent, ``delay`` in ms, ``supervise`` in s); ``events`` writes an event line per
    event a panel's frame carries.

    A context manager: leaving it, by an exception or Ctrl-C too, ends the centre (SIGTERM, then SIGKILL).
    A centre that ended unasked raises CompanionError at the next call, with its stderr and exit status.

        with veltrano.Centre() as centre:
            veltrano.send(centre.address, "zone-alarm", zone=1)
            centre.expect_event("zone-alarm", zone=1)
    """

    def __init__(self, port=0, bind="127.0.0.1", events=True, drop=None, delay=None, dup=None,
                 bad_checksum=None, no_ack=False, seed=None, supervise=None):
        args = _core.centre_args(port, bind, events, drop, delay, dup, bad_checksum, no_ack, seed, supervise)
        self._child = Child(args, "centre")
        self.address = listen(self._child, "centre")
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
        """Ends the centre; ``summary`` is then its summary line."""
        self._child.close()
        self.summary = self._child.lines.last("summary")
        return self.summary

    def tail(self):
        """The last lines of the centre, as the pytest plugin reports them."""
        return self._child.tail()


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
