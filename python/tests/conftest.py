"""The package's tests run against the companion in VELTRANO_CLI (ctest points it at the built one)."""

import os
import pathlib
from importlib.metadata import entry_points

import pytest

SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]
# The plugin, unless an installed package already registers it.
PLUGIN_ARGS = [] if any(ep.name == "veltrano" for ep in entry_points(group="pytest11")) else [
    "-p", "veltrano.pytest_plugin"]
pytest_plugins = ["pytester"] + (["veltrano.pytest_plugin"] if PLUGIN_ARGS else [])


@pytest.fixture(autouse=True)
def _needs_the_companion():
    if not os.environ.get("VELTRANO_CLI"):
        pytest.fail("VELTRANO_CLI names no veltrano-cli")
