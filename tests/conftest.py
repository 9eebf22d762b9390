"""Every test runs in a clean engine world.

The engine's state is process-wide: the node name, the shared tables of
velkor_state and the runner threads. The autouse fixture below gives each test
empty tables (the same dict objects: they keep their identity), the default
node name, and after the test stops every runner the test left running and
waits for the runner threads to end, so tests can run in any order.

VELKOR_TEST_LOOP=uvloop runs the whole session on uvloop: its event-loop
policy is installed before any test, so every runner's loop is a uvloop.Loop.
"""
import os

import pytest

import velkor  # noqa: F401  (the engine is loaded before the suite's loop policy is set)

from helpers import engine_world, install_suite_loop, no_leaked_resources, start_runner

try:
    SUITE_LOOP = install_suite_loop()
except ValueError as error:
    raise pytest.UsageError(str(error)) from None

# nanobind's leak report at exit stays on in the test processes (and in the
# interpreters they start), where every fixture stops its runners.
os.environ["VELKOR_LEAK_CHECK"] = "1"


def pytest_report_header(config):
    if SUITE_LOOP == "uvloop":
        import uvloop

        return f"event loop: uvloop {uvloop.__version__} (VELKOR_TEST_LOOP=uvloop)"
    return "event loop: asyncio"


@pytest.fixture(autouse=True)
def clean_world():
    def stuck(stacks):
        pytest.fail("runner threads still alive after the test:\n" + stacks)

    with engine_world(timeout=10, stuck=stuck):
        yield


@pytest.fixture
def make_runner():
    """Create (and by default start) runners; the world fixture stops them."""
    return start_runner


@pytest.fixture
def no_leaks():
    """Fail on unclosed sockets, transports, stream writers or loops and on
    never-awaited coroutines left behind by a test."""
    with no_leaked_resources():
        yield
