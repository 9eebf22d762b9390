"""Every test runs in a clean engine world.

The engine's state is process-wide: the node name, the shared tables of
velkor_state and the runner threads. The autouse fixture below gives each test
empty tables (the same dict objects: they keep their identity), the default
node name, and after the test stops every runner the test left running and
waits for the runner threads to end, so tests can run in any order.

VELKOR_TEST_LOOP=uvloop runs the whole session on uvloop: its event-loop
policy is installed before any test, so every runner's loop is a uvloop.Loop.
"""
import gc
import os

import pytest

import velkor
from velkor import velkor_state

from helpers import (clear_tables, dump_threads, install_suite_loop, runner_threads,
                     shut_down_runners, wait_until)

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
    node = velkor_state.network_node
    saved_name = node.name
    node.name = "node_0"
    clear_tables()
    yield
    shut_down_runners(list(velkor_state.loop_threads.values()))
    try:
        wait_until(lambda: not runner_threads(), timeout=10, message="runner threads to end")
    except AssertionError:
        pytest.fail("runner threads still alive after the test:\n" + dump_threads())
    finally:
        clear_tables()
        node.name = saved_name
        gc.collect()


@pytest.fixture
def make_runner():
    """Create (and by default start) runners; the world fixture stops them."""

    def make(name="main", start=True):
        runner = velkor.velkor.Real_tasks(name)
        if start:
            runner.start()
            wait_until(lambda: runner.loop.is_running(), message="runner loop to run")
        return runner

    return make
