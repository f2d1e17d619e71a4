"""The package over asyncio: the same Centre, Proxy, Fleet and commands, their waits awaitable.

Everything runs in the caller's running loop; nothing here creates, starts or closes a loop. Children
are ended as in the blocking front end: leaving ``async with``, an exception or a cancellation, and at
interpreter exit.

    async def test_alarm():
        async with await veltrano.aio.Centre.start() as centre:
            await veltrano.aio.send(centre.address, "zone-alarm", zone=1)
            await centre.expect_event("zone-alarm", zone=1)
"""

import asyncio
import json
import os
import signal
import time
import weakref

from . import _core
from ._core import CompanionError, Lines, Tail, Timeout
from ._process import end_group, group_gone, wait_gone

RUN_LIMIT_S = 120.0
_STREAM_LIMIT = 1 << 20  # a line of the companion is far shorter


def _end_at_exit(process):
    """The finaliser: a child still running when its object is collected or the interpreter exits."""
    if process.returncode is None and not group_gone(process.pid):
        end_group(process.pid, lambda seconds: wait_gone(process.pid, seconds))


class _Child:
    """veltrano-cli in a new session, its lines read by two tasks of the running loop."""

    def __init__(self, name):
        self.name = name
        self.lines = Lines()
        self.stderr = Tail()
        self._changed = asyncio.Condition()
        self._closing = False
        self._process = None
        self._readers = []

    async def start(self, args):
        try:
            self._process = await asyncio.create_subprocess_exec(
                _core.cli(), *args, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, start_new_session=True, limit=_STREAM_LIMIT)
        except OSError as error:
            raise CompanionError(f"cannot start {self.name}: {error}") from None
        weakref.finalize(self, _end_at_exit, self._process)
        self._readers = [asyncio.ensure_future(self._read_stdout()), asyncio.ensure_future(self._read_stderr())]
        return self

    @property
    def pid(self):
        return self._process.pid

    async def _read_stdout(self):
        async for text in self._process.stdout:
            async with self._changed:
                self.lines.add(_core.parse_line(text.decode("utf-8", "replace")))
                self._changed.notify_all()
        async with self._changed:
            self.lines.ended = True
            self._changed.notify_all()

    async def _read_stderr(self):
        async for text in self._process.stderr:
            self.stderr.add(text.decode("utf-8", "replace"))

    def check_alive(self):
        if not self._closing and self._process.returncode is not None:
            raise CompanionError(f"{self.name} ended early", self._process.returncode, self.stderr.text())

    async def wait_for(self, test, timeout, take=True):
        deadline = time.monotonic() + timeout
        seen = 0
        async with self._changed:
            while True:
                line = self.lines.take(test, seen) if take else self.lines.find(test, seen)
                seen = len(self.lines.all)
                left = deadline - time.monotonic()
                if line is not None or self.lines.ended or left <= 0:
                    break
                try:
                    await asyncio.wait_for(self._changed.wait(), left)
                except asyncio.TimeoutError:
                    pass
        if line is None and self.lines.ended:
            await self._settle()
        return line

    async def _settle(self):
        """Once the output ended: the exit status known and the readers done, within a bound."""
        try:
            await asyncio.wait_for(self._process.wait(), _core.TERM_GRACE_S)
            await asyncio.wait_for(asyncio.gather(*self._readers), _core.TERM_GRACE_S)
        except asyncio.TimeoutError:
            pass

    async def wait_exit(self, timeout):
        try:
            status = await asyncio.wait_for(self._process.wait(), timeout)
        except asyncio.TimeoutError:
            return None
        await self._settle()
        return status

    async def close(self):
        """SIGTERM to the group, SIGKILL after the grace; the readers done. Shielded from cancellation, so that
        a cancelled test still ends its child."""
        self._closing = True
        if self._process is None:
            return None
        await asyncio.shield(self._end())
        return self._process.returncode

    async def _end(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if self._process.returncode is not None:
                break
            try:
                os.killpg(self._process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                await asyncio.wait_for(self._process.wait(), _core.TERM_GRACE_S)
            except asyncio.TimeoutError:
                pass
        await asyncio.gather(*self._readers, return_exceptions=True)

    def tail(self):
        out = "\n".join(line.get("text") or json.dumps(line, ensure_ascii=False)
                        for line in self.lines.all[-_core.TAIL_LINES:])
        status = self._process.returncode if self._process else None
        return f"{self.name} (pid {self.pid}, exit status {status})\nstdout:\n{out}\nstderr:\n{self.stderr.text()}"


async def _listen(child):
    line = await child.wait_for(_core.matcher("listening", {}), _core.START_TIMEOUT_S)
    try:
        if line is None:
            status = await child.wait_exit(0.5)
            raise CompanionError(f"{child.name} did not start listening", status, child.stderr.text())
        return _core.check_listening(line, child.name)
    except BaseException:
        await child.close()
        raise


async def _run_to_end(args, name, limit, during=None):
    child = await _Child(name).start(args)
    try:
        if during is not None:
            result = during(await _listen(child))
            if asyncio.iscoroutine(result):
                await result
        status = await child.wait_exit(limit)
        if status is None:
            raise Timeout(f"{name} still ran after {limit} s; {_core.came_text(child.lines.all)}")
        if status not in (0, 1):
            raise CompanionError(name, status, child.stderr.text())
        return child.lines, status
    finally:
        await child.close()


class _Listening:
    """A command that listens, over asyncio: its lines and the awaitable waits on them."""

    def __init__(self, child, address):
        self._child = child
        self.address = address
        self.port = int(address.rsplit(":", 1)[1])
        self.summary = None

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.stop()

    @property
    def pid(self):
        return self._child.pid

    @property
    def frames(self):
        self._child.check_alive()
        return self._child.lines.of("frame")

    @property
    def events(self):
        self._child.check_alive()
        return self._child.lines.of("event")

    async def expect_frame(self, timeout=2.0, **match):
        """As veltrano.Centre.expect_frame, awaited."""
        return await self._expect("frame", match, timeout)

    async def expect_event(self, key, timeout=2.0, **match):
        """As veltrano.Centre.expect_event, awaited."""
        return await self._expect("event", {"key": key, **match}, timeout)

    async def expect_no_event(self, key, within=1.0, **match):
        """As veltrano.Centre.expect_no_event, awaited."""
        self._child.check_alive()
        line = await self._child.wait_for(_core.matcher("event", {"key": key, **match}), within, take=False)
        self._child.check_alive()
        if line is not None:
            raise AssertionError(f"{_core.describe('event', {'key': key, **match})} came: {line}")

    async def _expect(self, kind, match, timeout):
        self._child.check_alive()
        line = await self._child.wait_for(_core.matcher(kind, match), timeout)
        if line is None:
            self._child.check_alive()
            raise Timeout(f"no {_core.describe(kind, match)} at {self.address} within {timeout} s; "
                          f"{_core.came_text(self._child.lines.all)}")
        return line

    async def stop(self):
        await self._child.close()
        self.summary = self._child.lines.last("summary")
        return self.summary

    def tail(self):
        return self._child.tail()


class Centre(_Listening):
    """veltrano.Centre over asyncio: ``centre = await Centre.start(...)`` (or ``async with await
    Centre.start() as centre``); the waits are coroutines, ``stop`` too."""

    @classmethod
    async def start(cls, port=0, bind="127.0.0.1", events=True, drop=None, delay=None, dup=None,
                    bad_checksum=None, no_ack=False, seed=None, supervise=None, rules=()):
        """Starts the centre and returns once it listens; the arguments are veltrano.Centre's."""
        child = await _Child("centre").start(
            _core.centre_args(port, bind, events, drop, delay, dup, bad_checksum, no_ack, seed, supervise, rules))
        return cls(child, await _listen(child))


class Proxy(_Listening):
    """veltrano.Proxy over asyncio: ``proxy = await Proxy.start(to, rules=[...])``; the waits and the rule
    calls are coroutines. The control API is asked over the loop's own connections, never a thread."""

    def __init__(self, child, address):
        super().__init__(child, address)
        self._control = _core.control_of(child.lines, child.name)
        self.control = "{}:{}".format(*self._control)

    @classmethod
    async def start(cls, to, rules=(), seed=None, events=False, port=0, bind="127.0.0.1"):
        """Starts the proxy and returns once it listens; the arguments are veltrano.Proxy's."""
        child = await _Child("proxy").start(_core.proxy_args(to, rules, seed, events, port, bind))
        address = await _listen(child)
        try:
            return cls(child, address)
        except BaseException:
            await child.close()
            raise

    async def add_rule(self, text):
        """As veltrano.Proxy.add_rule, awaited."""
        return (await self._ask("POST", "/rules", f"rule {text!r}", 201, text))["id"]

    async def remove_rule(self, number):
        """As veltrano.Proxy.remove_rule, awaited."""
        await self._ask("DELETE", f"/rules/{number}", f"remove rule {number}", 204)

    async def rules(self):
        """As veltrano.Proxy.rules, awaited."""
        return (await self._ask("GET", "/rules", "rules", 200))["rules"]

    async def _ask(self, method, path, what, wanted, body=""):
        self._child.check_alive()
        try:
            async with asyncio.timeout(_core.CONTROL_TIMEOUT_S):
                reader, writer = await asyncio.open_connection(*self._control)
                try:
                    writer.write(_core.control_request(method, path, body))
                    raw = await reader.read()  # the proxy closes after its answer
                finally:
                    writer.close()
        except (OSError, TimeoutError) as error:
            self._child.check_alive()
            raise CompanionError(f"proxy control at {self.control}: {error!r}") from None
        return _core.control_result(what, *_core.control_answer(raw), wanted)


async def _exchanges(args, name, to, timeout, retries, expect_ack):
    lines, status = await _run_to_end(args, name, RUN_LIMIT_S)
    exchanges = _core.exchanges_of(lines)
    if expect_ack and (status != 0 or any(e.answer is None for e in exchanges)):
        raise Timeout(_core.unanswered_text(exchanges, to, timeout, retries))
    return exchanges


async def send(to, *event_keys, comm=0, dev=1, zone=1, expect_ack=True, timeout=1.0, retries=0):
    """As veltrano.send, awaited."""
    args = _core.event_args(to, event_keys, comm, dev, zone, expect_ack, timeout, retries)
    return await _exchanges(args, "send", to, timeout, retries, expect_ack)


async def send_hex(to, hex_text, expect_ack=True, timeout=1.0, retries=0):
    """As veltrano.send_hex, awaited."""
    args = _core.send_args("hex", to, [_core.hex_of(hex_text)], expect_ack, timeout, retries)
    return await _exchanges(args, "hex", to, timeout, retries, expect_ack)


async def decode(hex_or_bytes):
    """As veltrano.decode, awaited."""
    lines, _ = await _run_to_end(["decode", "--jsonl", _core.hex_of(hex_or_bytes)], "decode", RUN_LIMIT_S)
    return lines.all[0]


async def test_centre(to, only=None, skip=None, timeout=None, load_rate=None, load_seconds=None,
                      limit=RUN_LIMIT_S):
    """As veltrano.test_centre, awaited."""
    args = _core.test_centre_args(to, only, skip, timeout, load_rate, load_seconds)
    return _core.verdicts_of((await _run_to_end(args, "test centre", limit))[0])


async def test_panel(panel, port=0, bind="127.0.0.1", duration=None, frames=None, withhold=None, retries=None,
                     heartbeat=None, limit=RUN_LIMIT_S):
    """As veltrano.test_panel, awaited; ``panel(address)`` may be a coroutine function."""
    args = _core.test_panel_args(port, bind, duration, frames, withhold, retries, heartbeat)
    return _core.verdicts_of((await _run_to_end(args, "test panel", limit, panel))[0])


test_centre.__test__ = False
test_panel.__test__ = False


async def run_scenario(path, panel=None, limit=RUN_LIMIT_S, **variables):
    """As veltrano.run_scenario, awaited; ``panel(address)`` may be a coroutine function."""
    return _core.verdicts_of((await _run_to_end(_core.scenario_args(path, variables), "run", limit, panel))[0])


async def fuzz_centre(to, cases=None, duration=None, seed=None, rate=None, only=None, skip=None, findings=None,
                      probe_every=None, probe_timeout=None, max_findings=None, limit=RUN_LIMIT_S):
    """As veltrano.fuzz_centre, awaited."""
    args = _core.fuzz_centre_args(to, cases, duration, seed, rate, only, skip, findings, probe_every,
                                  probe_timeout, max_findings)
    return _core.findings_of((await _run_to_end(args, "fuzz centre", limit))[0])


async def fuzz_panel(panel, port=0, bind="127.0.0.1", duration=None, silence=None, confirm=None, late=None,
                     seed=None, only=None, skip=None, findings=None, restart=None, max_findings=None,
                     limit=RUN_LIMIT_S):
    """As veltrano.fuzz_panel, awaited; ``panel(address)`` may be a coroutine function."""
    args = _core.fuzz_panel_args(port, bind, duration, silence, confirm, late, seed, only, skip, findings,
                                 restart, max_findings)
    return _core.findings_of((await _run_to_end(args, "fuzz panel", limit, panel))[0])


class Fleet:
    """veltrano.Fleet over asyncio: ``fleet = await Fleet.start(to, ...)``; ``await fleet.wait()``."""

    def __init__(self, child):
        self._child = child
        self.summary = None

    @classmethod
    async def start(cls, to, panels=1, heartbeat=None, events=None, duration=None, seed=None, frames=False):
        return cls(await _Child("fleet").start(
            _core.fleet_args(to, panels, heartbeat, events, duration, seed, frames)))

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.close()

    @property
    def pid(self):
        return self._child.pid

    async def wait(self, timeout=RUN_LIMIT_S):
        status = await self._child.wait_exit(timeout)
        if status is None:
            raise Timeout(f"fleet still ran after {timeout} s; {_core.came_text(self._child.lines.all)}")
        if status not in (0, 1):
            raise CompanionError("fleet", status, self._child.stderr.text())
        self.summary = self._child.lines.last("summary")
        return self.summary

    async def close(self):
        await self._child.close()

    def tail(self):
        return self._child.tail()
