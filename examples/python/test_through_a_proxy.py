"""A panel's alarm through a lossy link: the companion's proxy between the panel and a centre.

The proxy withholds the first copy of each frame, so only a panel that resends gets its alarm through.
veltrano-cli's own send stands in for the panel; put yours in its place, pointed at `proxy.address`.

    pytest examples/python            # veltrano-cli on PATH, or --veltrano-cli PATH
"""

import veltrano


def test_a_resent_alarm_gets_through(veltrano_centre, veltrano_proxy_factory):
    proxy = veltrano_proxy_factory(veltrano_centre.address, rules=["up withhold=1"])
    sent = veltrano.send(proxy.address, "zone-alarm", comm=0, dev=1, zone=1, timeout=0.3, retries=2)
    assert sent[0].copies == 2
    veltrano_centre.expect_event("zone-alarm", comm=0, dev=1, zone=1)
    proxy.expect_frame(way="up", fault="withhold")
