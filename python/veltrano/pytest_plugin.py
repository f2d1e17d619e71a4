"""The pytest plugin of veltrano (entry point ``pytest11``, name ``veltrano``).

Fixtures: ``veltrano_centre``, a started veltrano.Centre on a free loopback port with events on, and
``veltrano_proxy_factory`` and ``veltrano_fleet_factory``, which start veltrano.Proxy and veltrano.Fleet
runs; every child they started is ended after the test. The option ``--veltrano-cli PATH`` names the companion to run. When a test fails, its report holds
the last lines of each fixture's child and the message of each verdict that failed during the test.
"""

import pytest

import veltrano
from veltrano import _core

_WATCHED = pytest.StashKey[list]()
_CLI_BEFORE = pytest.StashKey[object]()


def pytest_addoption(parser):
    parser.getgroup("veltrano").addoption(
        "--veltrano-cli", metavar="PATH", default=None,
        help="the veltrano-cli to run (default: $VELTRANO_CLI, then the one on PATH)")


def pytest_configure(config):
    if config.getoption("--veltrano-cli"):
        config.stash[_CLI_BEFORE] = veltrano.set_cli(config.getoption("--veltrano-cli"))


def pytest_unconfigure(config):
    if _CLI_BEFORE in config.stash:
        veltrano.set_cli(config.stash[_CLI_BEFORE])


def _watch(request, child):
    request.node.stash.setdefault(_WATCHED, []).append(child)
    return child


@pytest.fixture
def veltrano_centre(request):
    """A veltrano.Centre listening on a free port of 127.0.0.1, events on, ended after the test."""
    with veltrano.Centre() as centre:
        yield _watch(request, centre)


def _factory(request, start):
    """``make(to, **options)`` that starts a child with ``start``; each is ended after the test."""
    started = []

    def make(to, **options):
        started.append(_watch(request, start(to, **options)))
        return started[-1]

    return make, started


@pytest.fixture
def veltrano_proxy_factory(request):
    """``make(to, **options)``: a veltrano.Proxy to the centre at ``to``, listening on a free port of
    127.0.0.1 (options as Proxy's: ``rules``, ``seed``, ``events``); each is ended after the test."""
    make, proxies = _factory(request, veltrano.Proxy)
    yield make
    for proxy in proxies:
        proxy.stop()


@pytest.fixture
def veltrano_fleet_factory(request):
    """``make(to, **options)``: a started veltrano.Fleet (options as Fleet's); each is ended after the test."""
    make, fleets = _factory(request, veltrano.Fleet)
    yield make
    for fleet in fleets:
        fleet.close()


def pytest_runtest_setup(item):
    _core.recent_verdicts.clear()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.failed:
        return
    for child in item.stash.get(_WATCHED, []):
        report.sections.append((f"veltrano {type(child).__name__.lower()} (pid {child.pid})", child.tail()))
    failed = [str(v) for v in _core.recent_verdicts if v.result == "failed"]
    if failed:
        report.sections.append(("veltrano failed verdicts", "\n".join(failed)))
