"""No child outlives its owner, however the owner ends; the plugin's fixtures and reports through pytester."""

import os
import signal
import subprocess
import sys

import pytest

from conftest import PLUGIN_ARGS
from veltrano._process import group_gone, wait_gone

# A script that starts a centre, prints its pid and then ends in its own way.
SCRIPT = """
import asyncio, sys, veltrano, veltrano.aio
{end}
"""
START = "centre = veltrano.Centre(); print(centre.pid, flush=True)\n"
IN_A_LOOP = """
async def main():
    async with await veltrano.aio.Centre.start() as centre:
        print(centre.pid, flush=True)
        await centre.expect_event("fire", timeout=60)
asyncio.run(main())
"""
ENDINGS = [
    {"name": "Ctrl-C while waiting", "end": START + "with centre: centre.expect_event('fire', timeout=60)",
     "signal": signal.SIGINT},
    {"name": "an exception in the context", "end": START + "with centre: raise RuntimeError('test failed')",
     "signal": None},
    {"name": "exit without stop", "end": START + "sys.exit(0)", "signal": None},
    {"name": "a collected object", "end": START + "del centre; import gc; gc.collect(); print('gone', flush=True); "
                                                  "input()", "signal": None},
    {"name": "Ctrl-C in asyncio", "end": IN_A_LOOP, "signal": signal.SIGINT},
]


@pytest.mark.parametrize("ending", ENDINGS, ids=[e["name"] for e in ENDINGS])
def test_no_process_outlives_its_owner(ending):
    script = SCRIPT.format(end=ending["end"])
    owner = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        pid = int(owner.stdout.readline())
        assert not group_gone(pid)
        if ending["signal"]:
            owner.send_signal(ending["signal"])
        if "gone" in ending["end"]:
            assert owner.stdout.readline() == "gone\n"
            assert wait_gone(pid, 5), "the collected centre still runs"
        owner.communicate(timeout=20)
        assert wait_gone(pid, 5), f"centre {pid} outlived its owner"
    finally:
        owner.kill()
        owner.communicate()


INNER_TESTS = """
import os, veltrano

def test_passes(veltrano_centre, veltrano_fleet_factory):
    fleet = veltrano_fleet_factory(veltrano_centre.address, panels=2, heartbeat=0.1, duration=0.3)
    assert fleet.wait()["exit"] == 0
    veltrano_centre.expect_frame(dir="in", dev=0)

def test_fails(veltrano_centre, veltrano_proxy_factory):
    proxy = veltrano_proxy_factory(veltrano_centre.address, rules=["up delay=1"])
    open(os.environ["PID_FILE"], "w").write(f"{{veltrano_centre.pid}} {{proxy.pid}}")
    veltrano.send(proxy.address, "online")
    verdicts = veltrano.run_scenario({scenario!r}, peer="127.0.0.1:9")
    assert all(v.passed for v in verdicts)
"""


def test_plugin_fixtures_report_and_teardown(pytester, monkeypatch, tmp_path):
    from conftest import SOURCE_ROOT

    pid_file = tmp_path / "pid"
    monkeypatch.setenv("PID_FILE", str(pid_file))
    scenario = str(SOURCE_ROOT / "examples/panel-alarm-and-restore.yaml")
    pytester.makepyfile(INNER_TESTS.format(scenario=scenario))
    result = pytester.runpytest(*PLUGIN_ARGS, "--veltrano-cli", os.environ["VELTRANO_CLI"])
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(["*veltrano centre (pid *)*", '*"dir": "in"*', "*veltrano proxy (pid *)*",
                                 '*"way": "up"*', "*veltrano failed verdicts*", "*alarm-acknowledged: failed: *"])
    for pid in pid_file.read_text().split():
        assert wait_gone(int(pid), 5), f"the failed test's child {pid} still runs"


def test_plugin_option_names_the_companion(pytester):
    pytester.makepyfile("import veltrano\ndef test_start():\n    veltrano.Centre()\n")
    result = pytester.runpytest(*PLUGIN_ARGS, "--veltrano-cli", "/nonexistent/veltrano-cli")
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*CompanionError: cannot start centre*/nonexistent/veltrano-cli*"])
