"""Two panels at once against a centre, over asyncio: the test's own loop runs everything."""

import asyncio

import veltrano.aio


async def two_alarms(address):
    await asyncio.gather(veltrano.aio.send(address, "zone-alarm", comm=0, dev=1, zone=2),
                         veltrano.aio.send(address, "zone-alarm", comm=0, dev=2, zone=5))


async def both_arrive():
    async with await veltrano.aio.Centre.start() as centre:
        await two_alarms(centre.address)
        return await asyncio.gather(centre.expect_event("zone-alarm", dev=1, zone=2),
                                    centre.expect_event("zone-alarm", dev=2, zone=5))


def test_two_panels_at_once():
    first, second = asyncio.run(both_arrive())
    assert first["peer"] != second["peer"]
