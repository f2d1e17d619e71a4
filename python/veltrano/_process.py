"""A child veltrano-cli: in its own process group, read a line at a time, always ended."""

import json
import os
import signal
import subprocess
import threading
import time
import weakref

from . import _core
from ._core import CompanionError, Lines, Tail


def end_group(pid, exited, grace=_core.TERM_GRACE_S):
    """SIGTERM to the process group ``pid`` leads, then SIGKILL if ``exited(seconds)`` says it is still
    there after the grace. The group outlives a leader that is killed, so the whole group is signalled."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(pid, sig)
        except ProcessLookupError:
            return
        if exited(grace):
            return


def group_gone(pid):
    """Whether no process of group ``pid`` is left (a zombie leader counts as gone)."""
    try:
        os.killpg(pid, 0)
    except ProcessLookupError:
        return True
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def wait_gone(pid, seconds):
    deadline = time.monotonic() + seconds
    while not group_gone(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def _end(process, threads):
    """Ends the child and joins its readers: the finaliser, also run at interpreter exit."""
    if process.poll() is None:
        def exited(seconds):
            try:
                process.wait(seconds)
                return True
            except subprocess.TimeoutExpired:
                return False

        end_group(process.pid, exited)
    for thread in threads:
        thread.join(_core.TERM_GRACE_S)
    for stream in (process.stdout, process.stderr):
        stream.close()


def _read_stdout(stream, lines, changed):
    for text in stream:
        with changed:
            lines.add(_core.parse_line(text))
            changed.notify_all()
    with changed:
        lines.ended = True
        changed.notify_all()


def _read_stderr(stream, tail):
    for text in stream:
        tail.add(text)


class Child:
    """veltrano-cli with ``args``, started at once in a new session (its own process group) and ended by
    close(), by the garbage collector or at interpreter exit: SIGTERM, then SIGKILL after a bound."""

    def __init__(self, args, name):
        self.name = name
        self.lines = Lines()
        self.stderr = Tail()
        self._changed = threading.Condition()
        self._closing = False
        try:
            self._process = subprocess.Popen(
                [_core.cli(), *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                text=True, encoding="utf-8", errors="replace", start_new_session=True)
        except OSError as error:
            raise CompanionError(f"cannot start {name}: {error}") from None
        # The readers hold the pipes and the line store, never this object, so that it can be collected.
        threads = [threading.Thread(target=_read_stdout, args=(self._process.stdout, self.lines, self._changed),
                                    name=f"veltrano {name} stdout", daemon=True),
                   threading.Thread(target=_read_stderr, args=(self._process.stderr, self.stderr),
                                    name=f"veltrano {name} stderr", daemon=True)]
        for thread in threads:
            thread.start()
        self._threads = threads
        self._finalizer = weakref.finalize(self, _end, self._process, threads)

    @property
    def pid(self):
        return self._process.pid

    @property
    def status(self):
        """The exit status, None while it runs."""
        return self._process.poll()

    def check_alive(self):
        """Raises CompanionError with the stderr and exit status if the child ended unasked."""
        if not self._closing and self._process.poll() is not None:
            self.join_readers()
            raise CompanionError(f"{self.name} ended early", self._process.returncode, self.stderr.text())

    def wait_for(self, test, timeout, take=True):
        """The first line passing ``test`` (taken, unless ``take`` is false), or None once ``timeout`` s passed
        or the output ended."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self._changed:
            while True:
                line = self.lines.take(test, seen) if take else self.lines.find(test, seen)
                seen = len(self.lines.all)
                left = deadline - time.monotonic()
                if line is not None or left <= 0:
                    return line
                if self.lines.ended:
                    break
                self._changed.wait(left)
        # The output ended: the exit status is known within a moment.
        self.wait_exit(_core.TERM_GRACE_S)
        return None

    def wait_exit(self, timeout):
        """The exit status, None if it still runs after ``timeout`` seconds; every line read."""
        try:
            status = self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.join_readers()
        return status

    def join_readers(self):
        for thread in self._threads:
            thread.join(_core.TERM_GRACE_S)

    def close(self):
        """Ends the child (SIGTERM, then SIGKILL) and its readers; the exit status."""
        self._closing = True
        self._finalizer()
        return self._process.returncode

    def tail(self):
        """The last lines out and on standard error, for a report."""
        out = "\n".join(line.get("text") or json.dumps(line, ensure_ascii=False)
                        for line in self.lines.all[-_core.TAIL_LINES:])
        return f"{self.name} (pid {self.pid}, exit status {self.status})\nstdout:\n{out}\nstderr:\n{self.stderr.text()}"


def listen(child, what):
    """The address from the child's listening line, or CompanionError (its stderr, its status) if it
    ends or takes too long; the child is closed on failure."""
    line = child.wait_for(_core.matcher("listening", {}), _core.START_TIMEOUT_S)
    try:
        if line is None:
            status = child.wait_exit(0.5)
            raise CompanionError(f"{what} did not start listening", status, child.stderr.text())
        return _core.check_listening(line, what)
    except BaseException:
        child.close()
        raise


def run_to_end(args, name, limit, during=None):
    """Runs the command until it exits, at most ``limit`` s (then Timeout); ``during(address)`` is called
    once it listens. The child's lines and exit status."""
    child = Child(args, name)
    try:
        if during is not None:
            during(listen(child, name))
        status = child.wait_exit(limit)
        if status is None:
            raise _core.Timeout(f"{name} still ran after {limit} s; {_core.came_text(child.lines.all)}")
        if status not in (0, 1):
            raise CompanionError(name, status, child.stderr.text())
        return child.lines, status
    finally:
        child.close()
