"""Tests of alarm panels and centres in Python, over ``veltrano-cli`` and its JSON lines.

The package runs the companion (found on PATH, in $VELTRANO_CLI, or set by set_cli) as child processes,
each in its own process group and always ended: on leaving a context, on an exception or Ctrl-C, when
collected, and at interpreter exit. Its lines are dicts as docs/frame.schema.json gives them.

    import veltrano

    def test_alarm_reaches_the_centre():
        with veltrano.Centre() as centre:
            veltrano.send(centre.address, "zone-alarm", comm=0, dev=1, zone=1)
            centre.expect_event("zone-alarm", comm=0, dev=1, zone=1)

Blocking: Centre, Proxy, Fleet, send, send_hex, decode, test_centre, test_panel, run_scenario,
fuzz_centre, fuzz_panel. The same over asyncio: veltrano.aio. A wait that runs out raises Timeout (an AssertionError);
a companion that cannot start or ends unasked raises CompanionError. The pytest plugin
(veltrano.pytest_plugin) gives the fixtures veltrano_centre, veltrano_proxy_factory and
veltrano_fleet_factory and the option --veltrano-cli.
"""

from ._blocking import (Centre, Fleet, Proxy, decode, fuzz_centre, fuzz_panel, run_scenario, send, send_hex,
                        test_centre, test_panel)
from ._core import CompanionError, Exchange, Exchanges, Findings, Timeout, Verdict, Verdicts, set_cli
from ._version import SCHEMA, __version__

__all__ = ["Centre", "CompanionError", "Exchange", "Exchanges", "Findings", "Fleet", "Proxy", "SCHEMA", "Timeout",
           "Verdict", "Verdicts", "decode", "fuzz_centre", "fuzz_panel", "run_scenario", "send", "send_hex", "set_cli",
           "test_centre", "test_panel", "__version__"]
