"""A panel judged by the companion's test panel, and its alarm seen by a centre.

veltrano-cli's own send stands in for the panel here: put what makes your panel report to `address`
in its place.

    pytest examples/python            # veltrano-cli on PATH, or --veltrano-cli PATH
"""

import veltrano


def panel_reports_to(address):
    veltrano.send(address, "online", "zone-alarm", "zone-alarm-restore", comm=0, dev=1, zone=1)


def test_the_panel_keeps_the_protocol():
    verdicts = veltrano.test_panel(panel_reports_to, frames=3)
    assert all(v.passed for v in verdicts)


def test_its_alarm_reaches_a_centre(veltrano_centre):
    panel_reports_to(veltrano_centre.address)
    veltrano_centre.expect_event("zone-alarm", comm=0, dev=1, zone=1)
    veltrano_centre.expect_event("zone-alarm-restore", comm=0, dev=1, zone=1)
