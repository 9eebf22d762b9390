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

from helpers import dump_threads, install_suite_loop, runner_thread, runner_threads, wait_until

try:
    SUITE_LOOP = install_suite_loop()
except ValueError as error:
    raise pytest.UsageError(str(error)) from None

# nanobind's leak report at exit stays on in the test processes (and in the
# interpreters they start), where every fixture stops its runners.
os.environ["VELKOR_LEAK_CHECK"] = "1"

TABLES = ("Tasks", "loop_threads", "Events", "dravel_dict", "router_dict")


def pytest_report_header(config):
    if SUITE_LOOP == "uvloop":
        import uvloop

        return f"event loop: uvloop {uvloop.__version__} (VELKOR_TEST_LOOP=uvloop)"
    return "event loop: asyncio"


def _clear_tables():
    for name in TABLES:
        getattr(velkor_state, name).clear()


def _shut_down_runners(runners):
    for runner in runners:
        loop = getattr(runner, "loop", None)
        if loop is None or loop.is_closed():
            continue
        if runner_thread(runner) is not None:
            try:
                runner.stop()
            except RuntimeError:
                pass  # closed in the meantime
        elif not loop.is_running():
            loop.close()  # never started: nothing will ever run it


@pytest.fixture(autouse=True)
def clean_world():
    node = velkor_state.network_node
    saved_name = node.name
    node.name = "node_0"
    _clear_tables()
    yield
    _shut_down_runners(list(velkor_state.loop_threads.values()))
    try:
        wait_until(lambda: not runner_threads(), timeout=10, message="runner threads to end")
    except AssertionError:
        pytest.fail("runner threads still alive after the test:\n" + dump_threads())
    finally:
        _clear_tables()
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
