"""The package against the real companion, on 127.0.0.1 only."""

import asyncio
import json
import os
import re
import signal
import threading

import pytest

import veltrano
import veltrano.aio
from conftest import SOURCE_ROOT

EXAMPLES = SOURCE_ROOT / "examples"


def veltrano_threads():
    return [t for t in threading.enumerate() if t.name.startswith("veltrano")]


@pytest.mark.parametrize("name, found, want", [
    ("companion version", veltrano.__version__,
     re.search(r"project\(veltrano VERSION ([\d.]+)", (SOURCE_ROOT / "CMakeLists.txt").read_text())[1]),
    ("schema version", veltrano.SCHEMA, json.loads((SOURCE_ROOT / "docs/frame.schema.json").read_text())["version"]),
])
def test_versions_follow_the_sources(name, found, want):
    assert found == want, name


def test_centre_listens_on_a_free_port_and_matches_each_line_once():
    with veltrano.Centre() as centre:
        assert centre.port > 0 and centre.address == f"127.0.0.1:{centre.port}"
        # Sent before the wait: found in what came.
        veltrano.send(centre.address, "zone-alarm", comm=3, dev=4, zone=2)
        assert centre.expect_event("zone-alarm", comm=3, dev=4, zone=2)["peer"].startswith("127.0.0.1:")
        # Sent during the wait.
        later = threading.Timer(0.3, veltrano.send, (centre.address, "zone-alarm-restore"), {"zone": 2})
        later.start()
        try:
            assert centre.expect_frame(timeout=5, dir="in", comm=0, dev=1)["kind"] == "status"
        finally:
            later.join()
        with pytest.raises(veltrano.Timeout):
            centre.expect_event("zone-alarm", timeout=0.3, comm=3)
        centre.expect_no_event("fire", within=0.2)
        assert len(centre.frames) >= 4 and centre.events
    assert centre.summary["command"] == "centre" and not veltrano_threads()


def test_timeout_names_what_was_awaited_and_what_came(veltrano_centre):
    veltrano.send(veltrano_centre.address, "online")
    with pytest.raises(AssertionError) as raised:
        veltrano_centre.expect_event("zone-alarm", timeout=0.5, zone=7)
    assert isinstance(raised.value, veltrano.Timeout)
    message = str(raised.value)
    assert "no event with key='zone-alarm', zone=7" in message and "within 0.5 s" in message
    assert "lines that came" in message and '"dir": "in"' in message


def test_expect_no_event_fails_on_one_that_came(veltrano_centre):
    veltrano.send(veltrano_centre.address, "zone-alarm", zone=1)
    with pytest.raises(AssertionError, match="event with key='zone-alarm'"):
        veltrano_centre.expect_no_event("zone-alarm", within=2)


def panel_sends(*keys):
    """A panel under test, the companion's send standing in."""
    return lambda address: veltrano.send(address, *keys)


def centre_with_rule():
    """A centre whose first answer to each frame is withheld: the retry is answered."""
    with veltrano.Centre(rules=["down withhold=1"]) as centre:
        exchanges = veltrano.send(centre.address, "online", timeout=0.2, retries=1)
        return exchanges[0], centre.stop()


def through_a_proxy(to):
    """A proxy that listens and serves its rules, its rules changed, and a frame seen on its way."""
    with veltrano.Proxy(to, rules=["up dup command=debug"], seed=1) as proxy:
        ports = proxy.port, int(proxy.control.rsplit(":", 1)[1])
        added = proxy.add_rule("up withhold=1 command=online")
        exchanges = veltrano.send(proxy.address, "online", timeout=0.3, retries=2)
        withheld = proxy.expect_frame(way="up", fault="withhold", rule=added)
        proxy.remove_rule(1)
        return ports, added, proxy.rules(), exchanges, withheld


def proxy_rule_fails(call):
    with veltrano.Proxy("127.0.0.1:9") as proxy:
        call(proxy)


# Each wrapper against a centre of the companion's; `check` holds what it returned.
WRAPPERS = [
    {"name": "send", "call": lambda to: veltrano.send(to, "online", "zone-alarm"),
     "check": lambda r: len(r) == 2 and all(e.answer and e.rtt_us >= 0 and e.copies == 1 for e in r)},
    {"name": "send_hex", "call": lambda to: veltrano.send_hex(to, bytes.fromhex("08 00 02 00 00 00 01 0B")),
     "check": lambda r: r[0].frame["comm"] == 0 and r[0].frame["dev"] == 2 and r[0].answer["ack"]},
    {"name": "decode", "call": lambda to: veltrano.decode("08 00 01 00 00 00 82 8B"),
     "check": lambda r: r["kind"] == "status" and r["ack"] and r["checksum_ok"]},
    {"name": "test_centre", "call": lambda to: veltrano.test_centre(to, only=["ack-debug-frame", "burst-in-order"]),
     "check": lambda r: [v.id for v in r] == ["ack-debug-frame", "burst-in-order"] and all(v.passed for v in r)
     and r.skipped},
    {"name": "run_scenario", "call": lambda to: veltrano.run_scenario(EXAMPLES / "panel-alarm-and-restore.yaml",
                                                                      peer=to),
     "check": lambda r: len(r) == 6 and all(v.passed for v in r)},
    {"name": "run_scenario as a centre", "call": lambda to: veltrano.run_scenario(
        EXAMPLES / "centre-expects-alarm.yaml", panel=lambda address: veltrano.send(
            address, "zone-alarm", "zone-alarm-restore", zone=1, timeout=0.3, retries=2), port=0),
     "check": lambda r: len(r) == 5 and all(v.passed for v in r)},
    {"name": "test_panel", "call": lambda to: veltrano.test_panel(panel_sends("online", "zone-alarm"), frames=2),
     "check": lambda r: r and all(v.passed for v in r)},
    {"name": "Fleet", "call": lambda to: veltrano.Fleet(to, panels=3, heartbeat=0.1, duration=0.4).wait(),
     "check": lambda r: r["command"] == "fleet" and r["exit"] == 0},
    {"name": "Proxy", "call": through_a_proxy,
     "check": lambda r: min(r[0]) > 0 and r[0][0] != r[0][1] and r[1] == 2
     and [(x["id"], x["rule"], x["acted"]) for x in r[2]] == [(2, "up withhold=1 command=online", 1)]
     and r[3][0].copies == 2 and r[3][0].answer and r[4]["kind"] == "online"},
    {"name": "fuzz_centre", "call": lambda to: veltrano.fuzz_centre(to, cases=300, seed=1, rate="max"),
     "check": lambda r: r == [] and r.summary["cases"] == 300 and r.summary["findings"] == 0},
    {"name": "Centre with a rule", "call": lambda to: centre_with_rule(),
     "check": lambda r: r[0].copies == 2 and r[0].answer and r[1]["dropped"] == 1},
    {"name": "fuzz_panel", "call": lambda to: veltrano.fuzz_panel(
        lambda address: veltrano.send(address, "online", "online", expect_ack=False), duration=1, seed=1),
     "check": lambda r: r == [] and r.summary["frames"] == 2 and r.summary["findings"] == 0},
]


@pytest.mark.parametrize("case", WRAPPERS, ids=[w["name"] for w in WRAPPERS])
def test_wrapper(veltrano_centre, case):
    result = case["call"](veltrano_centre.address)
    assert case["check"](result), result


@pytest.mark.parametrize("name, call, raises, says", [
    ("no acknowledgement", lambda c: veltrano.send(c.address, "online", timeout=0.2, retries=1),
     veltrano.Timeout, "no acknowledgement from 127.0.0.1:"),
    ("a centre that dies", lambda c: (os.kill(c.pid, signal.SIGKILL), c.expect_frame(timeout=5)),
     veltrano.CompanionError, "centre ended early (exit status -9)"),
    ("a centre that cannot start", lambda c: veltrano.Centre(port=c.port),
     veltrano.CompanionError, "centre did not start listening (exit status 3):\nveltrano-cli: "),
    ("a bad rule", lambda c: proxy_rule_fails(lambda p: p.add_rule("up vanish")),
     ValueError, "rule 'up vanish': column 4: unknown action 'vanish'"),
    ("no such rule", lambda c: proxy_rule_fails(lambda p: p.remove_rule(7)), ValueError, "no rule 7 (HTTP 404)"),
    ("a verdict that fails", lambda c: veltrano.run_scenario(EXAMPLES / "panel-alarm-and-restore.yaml",
                                                            peer=c.address).failed[0].message,
     None, "expected 08 00 01 00 00 00 82 8B from 127.0.0.1:"),
])
def test_failures_say_why(name, call, raises, says):
    with veltrano.Centre(no_ack=True) as centre:
        if raises is None:
            assert says in call(centre)
        else:
            with pytest.raises(raises, match=re.escape(says)):
                call(centre)


def test_a_companion_of_another_schema_is_refused(tmp_path, monkeypatch):
    fake = tmp_path / "veltrano-cli"
    fake.write_text("#!/bin/sh\necho '{\"type\":\"listening\",\"address\":\"127.0.0.1\",\"port\":9,"
                    "\"schema\":\"0\"}'\nexec sleep 30\n")
    fake.chmod(0o755)
    monkeypatch.setenv("VELTRANO_CLI", str(fake))
    with pytest.raises(veltrano.CompanionError, match="writes JSON schema '0'; this package reads '1'"):
        veltrano.Centre()


def test_asyncio_centre_in_the_callers_loop():
    async def scenario():
        loop = asyncio.get_running_loop()
        async with await veltrano.aio.Centre.start() as centre:
            await veltrano.aio.send(centre.address, "zone-alarm", zone=3)
            event = await centre.expect_event("zone-alarm", zone=3)
            with pytest.raises(veltrano.Timeout, match="no frame with comm=9"):
                await centre.expect_frame(timeout=0.3, comm=9)
            verdicts = await veltrano.aio.test_panel(
                lambda address: veltrano.aio.send(address, "online"), frames=1)
            decoded = await veltrano.aio.decode("08 00 01 00 00 00 82 8B")
        assert asyncio.get_running_loop() is loop
        return event, verdicts, decoded, centre.summary

    event, verdicts, decoded, summary = asyncio.run(scenario())
    assert event["zone"] == 3 and all(v.passed for v in verdicts) and decoded["ack"]
    assert summary["command"] == "centre"


async def aio_fleet(to):
    async with await veltrano.aio.Fleet.start(to, panels=2, heartbeat=0.1, duration=0.3) as fleet:
        return await fleet.wait()


async def aio_proxy(to):
    async with await veltrano.aio.Proxy.start(to) as proxy:
        added = await proxy.add_rule("down dup command=ack")
        await veltrano.aio.send(proxy.address, "online")
        return added, await proxy.rules(), await proxy.expect_frame(way="down", fault="dup")


# The asyncio wrappers that the test above leaves out, each awaited in a loop of its own.
AIO_WRAPPERS = [
    {"name": "send_hex", "call": lambda to: veltrano.aio.send_hex(to, "08 00 02 00 00 00 01 0B"),
     "check": lambda r: r[0].answer["ack"]},
    {"name": "test_centre", "call": lambda to: veltrano.aio.test_centre(to, only="ack-debug-frame"),
     "check": lambda r: [v.id for v in r] == ["ack-debug-frame"] and r[0].passed},
    {"name": "run_scenario", "call": lambda to: veltrano.aio.run_scenario(
        EXAMPLES / "panel-alarm-and-restore.yaml", peer=to), "check": lambda r: all(v.passed for v in r)},
    {"name": "Fleet", "call": aio_fleet, "check": lambda r: r["exit"] == 0},
    {"name": "Proxy", "call": aio_proxy, "check": lambda r: r[0] == 1 and r[1][0]["acted"] >= 1 and r[2]["ack"]},
    {"name": "fuzz_centre", "call": lambda to: veltrano.aio.fuzz_centre(to, cases=100, seed=2, rate="max"),
     "check": lambda r: r == [] and r.summary["cases"] == 100},
]


@pytest.mark.parametrize("case", AIO_WRAPPERS, ids=[w["name"] for w in AIO_WRAPPERS])
def test_asyncio_wrapper(veltrano_centre, case):
    result = asyncio.run(case["call"](veltrano_centre.address))
    assert case["check"](result), result

