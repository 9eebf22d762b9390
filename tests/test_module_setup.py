"""Importing velkor: what each module binds and in which order, the capitalised
package paths, the shared-state module's contents, import failures, the shipped
type stubs, and that importing starts nothing.

Import-time behaviour is observed in fresh interpreters: the test process has
imported the package long ago. A fresh run reports through a JSON file named by
its last argument, so that its stdout and stderr must stay empty.
"""
import ast
import asyncio
import bisect
import collections
import concurrent
import concurrent.futures
import copy
import importlib
import importlib.metadata
import re
import inspect
import json
import os
import queue
import random
import sys
import threading
import time
import traceback
from pathlib import Path

import matplotlib.pyplot
import networkx
import numpy
import pytest

import velkor
from velkor import velkor as V
from velkor import velkor_state as S

from helpers import TABLES, run_python, script, wait_until

# Every module-level name of the engine module, in the order its body binds
# them. Names that are not bound yet must appear later at their place.
ENGINE_NAMES = [
    "velkor_state", "asyncio", "np", "threading", "nx", "concurrent",
    "ProcessPoolExecutor", "ThreadPoolExecutor", "PriorityQueue", "pyplot",
    "inspect", "traceback", "time", "copy", "random", "bisect", "defaultdict",
    "deque", "net_node", "Task_draw_directed_graph_with_two_colors",
    "Tasks_Graph", "Real_tasks", "async_task", "waiter", "trig_output",
    "custom_event", "event_config", "buffer",
    "stats",  # the counters' snapshot, after the rest
]
# The ones the engine binds today.
ENGINE_BOUND = ENGINE_NAMES

STATE_CALLABLES = ("Real_tasks", "async_task", "custom_event", "trig_output", "waiter", "event_config")
STATE_REQUIRED = TABLES + ("network_node", "Real_tasks", "random", "bisect")
STATE_NAMES = set(STATE_REQUIRED + STATE_CALLABLES)

PACKAGE_MODULES = ("velkor", "velkor.velkor", "velkor.dravel", "velkor.router")
STUB_FILES = ("__init__.pyi", "velkor.pyi", "velkor_state.pyi", "dravel.pyi", "router.pyi",
              "monitor.pyi", "py.typed")

# The scripts here start with this prelude alone, not with helpers.SCRIPT_PRELUDE:
# they watch what the first import of velkor does, so nothing of it may be
# imported before their own code; and they run no loop, so the suite's loop
# policy is not needed either.
REPORT_PRELUDE = """\
import json as _json, sys as _sys
def report(**values):
    with open(_sys.argv[-1], "w") as f:
        _json.dump(values, f)
"""


def run_fresh(tmp_path, body, *args):
    """Run `body` in a new interpreter; return what it passed to report().

    The run must exit with status 0 and print nothing at all: no output of
    ours, no warning, no sanitizer report.
    """
    result_file = tmp_path / "report.json"
    result_file.unlink(missing_ok=True)
    code = script(body, REPORT_PRELUDE)
    proc = run_python(code, *args, str(result_file), cwd=tmp_path, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", ""), code
    return json.loads(result_file.read_text())


def public_names(module):
    return [name for name in vars(module) if not name.startswith("_")]


# ---------------------------------------------------------------------------
# Importing starts nothing.

@pytest.mark.parametrize("module", PACKAGE_MODULES + ("velkor.monitor",))
def test_import_starts_no_thread_creates_no_loop_prints_nothing(tmp_path, module):
    seen = run_fresh(tmp_path, """
        import os, threading
        py_before = sorted(t.ident for t in threading.enumerate())
        count_before = threading.active_count()
        import asyncio, concurrent.futures, gc, importlib
        # The libraries' own start-up (numpy's BLAS pool, for one) is not ours.
        import numpy, networkx, matplotlib.pyplot
        def native_threads():  # Linux lists every thread of the process here
            tasks = "/proc/self/task"
            return sorted(os.listdir(tasks)) if os.path.isdir(tasks) else []

        os_before = native_threads()
        importlib.import_module(_sys.argv[1])
        os_after = native_threads()
        objects = gc.get_objects()
        report(
            py_before=py_before,
            py_after=sorted(t.ident for t in threading.enumerate()),
            count_before=count_before,
            count_after=threading.active_count(),
            os_before=os_before,
            os_after=os_after,
            policy_loop=repr(asyncio.get_event_loop_policy()._local._loop),
            running_loop=repr(asyncio._get_running_loop()),
            loops=[repr(o) for o in objects if isinstance(o, asyncio.AbstractEventLoop)],
            executors=[repr(o) for o in objects if isinstance(o, concurrent.futures.Executor)],
        )
    """, module)
    assert seen["count_after"] == seen["count_before"] == 1
    assert seen["py_after"] == seen["py_before"]
    assert seen["os_after"] == seen["os_before"], "native threads were started"
    assert seen["policy_loop"] == "None"
    assert seen["running_loop"] == "None"
    assert seen["loops"] == []
    assert seen["executors"] == []


@pytest.mark.parametrize("library", ["numpy", "networkx", "matplotlib.pyplot"])
def test_a_missing_library_fails_the_import_and_defines_nothing(tmp_path, library):
    seen = run_fresh(tmp_path, """
        import sys
        sys.modules[sys.argv[1]] = None  # makes `import <library>` fail
        try:
            import velkor.velkor
        except ImportError as e:
            error = [type(e).__name__, str(e)]
        else:
            error = None
        report(error=error, engine_loaded="velkor.velkor" in sys.modules)
    """, library)
    assert seen["error"] is not None, "the import succeeded without " + library
    assert seen["error"][0] == "ModuleNotFoundError"
    assert library in seen["error"][1]
    assert seen["engine_loaded"] is False


# ---------------------------------------------------------------------------
# The engine module's names.

def test_engine_binds_its_names_in_order(tmp_path):
    seen = run_fresh(tmp_path, """
        import velkor.velkor
        report(names=[n for n in vars(velkor.velkor) if not n.startswith("_")])
    """)
    names = seen["names"]
    # Only names of the table, in table order, with today's names all there.
    assert names == [n for n in ENGINE_NAMES if n in names]
    assert set(ENGINE_BOUND) <= set(names)


def test_engine_names_are_the_right_objects():
    expected = {
        "velkor_state": sys.modules["velkor.velkor_state"],
        "asyncio": asyncio,
        "np": numpy,
        "threading": threading,
        "nx": networkx,
        "concurrent": concurrent,
        "ProcessPoolExecutor": concurrent.futures.ProcessPoolExecutor,
        "ThreadPoolExecutor": concurrent.futures.ThreadPoolExecutor,
        "PriorityQueue": queue.PriorityQueue,
        "pyplot": matplotlib.pyplot,
        "inspect": inspect,
        "traceback": traceback,
        "time": time,
        "copy": copy,
        "random": random,
        "bisect": bisect,
        "defaultdict": collections.defaultdict,
        "deque": collections.deque,
    }
    wrong = {name: getattr(V, name, None) for name, obj in expected.items() if getattr(V, name, None) is not obj}
    assert wrong == {}
    assert V.velkor_state is S
    for name in ("net_node", "Real_tasks"):
        cls = getattr(V, name)
        assert isinstance(cls, type)
        assert (cls.__name__, cls.__module__) == (name, "velkor.velkor")


def test_star_import_of_the_engine_copies_every_name():
    namespace = {}
    exec("from velkor.velkor import *", namespace)
    missing = [n for n in public_names(V) if namespace.get(n, object()) is not getattr(V, n)]
    assert missing == []
    assert set(ENGINE_BOUND) <= set(namespace)


ASYNC_METHODS = {
    "net_node": {"server_task", "handle_client", "client_task"},
    "Real_tasks": {"_stop", "cancel_task", "append_task"},
    "async_task": {"trig_output", "temp_func"},
    "custom_event": set(),
}
PLAIN_METHODS = {
    "net_node": {"config_node"},
    "Real_tasks": {"stop", "start", "all_tasks", "run_asyncio_in_thread"},
    "async_task": {"stop", "start", "insert_kwargs_buffer", "activation_check", "run", "cancel",
                   "insert_input_tasks", "insert_output_tasks", "delete_input_tasks",
                   "delete_output_tasks", "insert_incode_input_tasks",
                   "insert_incode_output_tasks", "delete_incode_input_tasks",
                   "delete_incode_output_tasks"},
    "custom_event": {"is_set", "delete", "set", "clear", "refresh_automate_waiter_task_list",
                     "insert_custom_waiter_task", "delete_custom_waiter_task"},
}
# Methods in the order each class defines them.
METHOD_ORDER = {
    "async_task": ["__init__", "stop", "start", "insert_kwargs_buffer", "activation_check", "run",
                   "trig_output", "temp_func", "cancel", "insert_input_tasks",
                   "insert_output_tasks", "delete_input_tasks", "delete_output_tasks",
                   "insert_incode_input_tasks", "insert_incode_output_tasks",
                   "delete_incode_input_tasks", "delete_incode_output_tasks"],
    "custom_event": ["__init__", "is_set", "delete", "set", "clear",
                     "refresh_automate_waiter_task_list", "insert_custom_waiter_task",
                     "delete_custom_waiter_task"],
}


def new_instance(cls_name):
    if cls_name == "net_node":
        return V.net_node()
    if cls_name == "async_task":
        V.Real_tasks("k")
        return V.async_task(loop_thread="node_0,k", name="t")
    if cls_name == "custom_event":
        return V.custom_event("e")
    return V.Real_tasks("k")


@pytest.mark.parametrize("cls_name", sorted(METHOD_ORDER))
def test_classes_define_their_methods_in_order(cls_name):
    defined = [n for n in vars(getattr(V, cls_name)) if n in set(METHOD_ORDER[cls_name])]
    assert defined == METHOD_ORDER[cls_name]


@pytest.mark.parametrize("name", ["waiter", "trig_output", "event_config"])
def test_module_coroutine_functions(name):
    fn = getattr(V, name)
    assert inspect.iscoroutinefunction(fn)
    assert fn.__module__ == "velkor.velkor" and fn.__name__ == name


@pytest.mark.parametrize("cls_name", sorted(ASYNC_METHODS))
def test_coroutine_methods_are_coroutine_functions(cls_name):
    cls = getattr(V, cls_name)
    instance = new_instance(cls_name)
    for name in ASYNC_METHODS[cls_name]:
        assert inspect.iscoroutinefunction(getattr(cls, name)), name
        assert inspect.iscoroutinefunction(getattr(instance, name)), name
    for name in PLAIN_METHODS[cls_name]:
        assert not inspect.iscoroutinefunction(getattr(cls, name)), name
        assert callable(getattr(instance, name)), name


def test_callables_take_their_parameters_by_name():
    async def step(**kwargs):
        pass

    node = V.net_node()
    node.config_node(name="n")
    runner = V.Real_tasks(name="k")
    assert runner.name == "node_0,k"
    coroutines = [
        node.server_task(),
        node.handle_client(reader=None, writer=None),
        node.client_task(address="127.0.0.1", port=1, message=b"m", fire_forget=False),
        node.client_task("127.0.0.1", 1, b"m"),
        runner._stop(),
        runner.cancel_task(name="x"),
        runner.append_task(name="x", task=step, CPU_bound=False, tag="t", other=1),
        runner.append_task("x", step),
    ]
    for coro in coroutines:
        assert asyncio.iscoroutine(coro)
        coro.close()  # never started: nothing runs


BAD_CALLS = {
    "Real_tasks without name": lambda node, runner: V.Real_tasks(),
    "Real_tasks with two names": lambda node, runner: V.Real_tasks("a", "b"),
    "Real_tasks unknown keyword": lambda node, runner: V.Real_tasks(name="a", loop=None),
    "net_node with an argument": lambda node, runner: V.net_node("n"),
    "config_node without name": lambda node, runner: node.config_node(),
    "config_node with two names": lambda node, runner: node.config_node("a", "b"),
    "server_task with an argument": lambda node, runner: node.server_task(1),
    "handle_client without writer": lambda node, runner: node.handle_client(None),
    "client_task without arguments": lambda node, runner: node.client_task(),
    "client_task too many": lambda node, runner: node.client_task("a", 1, b"", True, 5),
    "client_task unknown keyword": lambda node, runner: node.client_task("a", 1, b"", timeout=1),
    "client_task fire_forget twice": lambda node, runner: node.client_task("a", 1, b"", True, fire_forget=True),
    "_stop with an argument": lambda node, runner: runner._stop(1),
    "cancel_task without name": lambda node, runner: runner.cancel_task(),
    "append_task without task": lambda node, runner: runner.append_task("x"),
    "append_task name twice": lambda node, runner: runner.append_task("x", None, name="y"),
    "start with an argument": lambda node, runner: runner.start(1),
    "stop unbound": lambda node, runner: V.Real_tasks.stop(),
    "all_tasks with an argument": lambda node, runner: runner.all_tasks(1),
    "run_asyncio_in_thread with an argument": lambda node, runner: runner.run_asyncio_in_thread(1),
}


@pytest.mark.parametrize("call", list(BAD_CALLS.values()), ids=[k.replace(" ", "-") for k in BAD_CALLS])
def test_bad_calls_raise_type_error(call):
    node, runner = V.net_node(), V.Real_tasks("k")
    with pytest.raises(TypeError):
        call(node, runner)
    # The objects are unharmed.
    assert (node.name, node.port, runner.name) == ("node_0", 8080, "node_0,k")
    assert S.loop_threads["node_0,k"] is runner
    assert not runner.loop.is_running() and not runner.loop.is_closed()


# ---------------------------------------------------------------------------
# The shared-state module and the capitalised package paths.

def test_state_module_holds_empty_tables_and_the_engine_objects(tmp_path):
    seen = run_fresh(tmp_path, """
        import bisect, random, sys
        import velkor
        s, engine = sys.modules["velkor.velkor_state"], sys.modules["velkor.velkor"]
        tables = ("Tasks", "loop_threads", "Events", "dravel_dict", "router_dict")
        callables = ("Real_tasks", "async_task", "custom_event", "trig_output", "waiter", "event_config")
        node = s.network_node
        report(
            names=[n for n in vars(s) if not n.startswith("_")],
            tables={t: [type(getattr(s, t)).__name__, len(getattr(s, t))] for t in tables},
            distinct_tables=len({id(getattr(s, t)) for t in tables}),
            node_class=type(node) is engine.net_node,
            node=[node.name, node.address, node.port],
            engine_callables={n: getattr(s, n, None) is getattr(engine, n, None) for n in callables},
            real_tasks=s.Real_tasks is engine.Real_tasks,
            modules=[s.random is random, s.bisect is bisect],
        )
    """)
    assert set(STATE_REQUIRED) <= set(seen["names"]) <= STATE_NAMES
    assert seen["tables"] == {t: ["dict", 0] for t in TABLES}
    assert seen["distinct_tables"] == len(TABLES)
    assert seen["node_class"] is True
    assert seen["node"] == ["node_0", "127.0.0.1", 8080]
    assert seen["engine_callables"] == {n: True for n in STATE_CALLABLES}
    assert seen["real_tasks"] is True
    assert seen["modules"] == [True, True]


@pytest.mark.parametrize("first", PACKAGE_MODULES + ("velkor.velkor_state",))
def test_capitalised_paths_name_the_same_modules(tmp_path, first):
    seen = run_fresh(tmp_path, """
        import importlib, sys
        importlib.import_module(sys.argv[1])
        import velkor
        import Velkor.Velkor_state
        import Velkor.Velkor
        from Velkor import Velkor_state as from_state, Velkor as from_engine
        state, engine = sys.modules["velkor.velkor_state"], sys.modules["velkor.velkor"]
        report(
            package=sys.modules["Velkor"] is velkor,
            state=Velkor.Velkor_state is state and velkor.velkor_state is state,
            engine=Velkor.Velkor is engine and velkor.velkor is engine,
            sys_modules=[sys.modules["Velkor.Velkor_state"] is state, sys.modules["Velkor.Velkor"] is engine],
            from_import=[from_state is state, from_engine is engine],
            import_module=[importlib.import_module("Velkor.Velkor_state") is state,
                           importlib.import_module("Velkor.Velkor") is engine],
        )
    """, first)
    assert seen == {
        "package": True, "state": True, "engine": True,
        "sys_modules": [True, True], "from_import": [True, True], "import_module": [True, True],
    }


def test_no_capitalised_folder_is_installed():
    site = Path(velkor.__file__).resolve().parent.parent
    assert [entry for entry in os.listdir(site) if entry.casefold() == "velkor"] == ["velkor"]


def test_the_engine_reads_the_state_module_only_when_used(tmp_path):
    seen = run_fresh(tmp_path, """
        import sys, types

        reads = []

        class Recorder(types.ModuleType):
            def __getattribute__(self, name):
                if not (name.startswith("__") and name.endswith("__")):
                    reads.append(name)
                return super().__getattribute__(name)

        empty = Recorder("velkor.velkor_state")
        sys.modules["velkor.velkor_state"] = empty
        import velkor.velkor as engine
        import_reads = list(reads)
        for name in [n for n in vars(empty) if not n.startswith("__")]:
            delattr(empty, name)

        def attempt():
            try:
                runner = engine.Real_tasks("r")
            except AttributeError as e:
                return ["AttributeError", str(e)]
            runner.loop.close()
            return ["ok", runner.name]

        outcomes = [attempt()]
        empty.network_node = engine.net_node()
        outcomes.append(attempt())
        empty.loop_threads = {}
        outcomes.append(attempt())
        other = engine.net_node()
        other.name = "other"
        empty.network_node = other
        outcomes.append(attempt())
        report(
            same_module=engine.velkor_state is empty,
            import_reads=import_reads,
            outcomes=outcomes,
            registered=sorted(empty.loop_threads),
        )
        # The engine keeps the module for the life of the process; through its
        # class it would keep this script's globals, and their nodes, past the
        # interpreter's clean-up (reported as leaks at exit).
        empty.__class__ = types.ModuleType
    """)
    assert seen["same_module"] is True
    # Neither the engine nor the package reads the state module while importing.
    assert seen["import_reads"] == []
    first, second, third, fourth = seen["outcomes"]
    assert first[0] == "AttributeError" and "network_node" in first[1]
    assert second[0] == "AttributeError" and "loop_threads" in second[1]
    # Read at every use, never cached: the new table and the new node count.
    assert third == ["ok", "node_0,r"]
    assert fourth == ["ok", "other,r"]
    assert seen["registered"] == ["node_0,r", "other,r"]


# ---------------------------------------------------------------------------
# The dravel and router modules' head.

@pytest.mark.parametrize("module", ["velkor.dravel", "velkor.router"])
def test_stage_module_head(tmp_path, module):
    seen = run_fresh(tmp_path, """
        import importlib, sys
        stage = importlib.import_module(sys.argv[1])
        state, engine = sys.modules["velkor.velkor_state"], sys.modules["velkor.velkor"]
        state_names = [n for n in vars(state) if not n.startswith("_")]
        report(
            names=[n for n in vars(stage) if not n.startswith("_")],
            state_names=state_names,
            copied=[n for n in state_names if getattr(stage, n) is getattr(state, n)],
            state=stage.Velkor_state is state,
            engine=stage.Velkor is engine,
        )
    """, module)
    names, state_names = seen["names"], seen["state_names"]
    n = len(state_names)
    assert set(state_names) >= set(STATE_REQUIRED)
    assert seen["copied"] == state_names
    assert set(names[:n]) == set(state_names)
    assert names[n:n + 2] == ["Velkor_state", "Velkor"]
    # After the head, only the stage's own class.
    assert names[n + 2:] == [module.rpartition(".")[2]]
    assert seen["state"] is True and seen["engine"] is True


def test_stage_modules_share_the_tables():
    from velkor import dravel, router

    for stage in (dravel, router):
        for table in TABLES:
            assert getattr(stage, table) is getattr(S, table), (stage.__name__, table)
        assert stage.random is random and stage.bisect is bisect
        assert stage.Velkor is V and stage.Velkor_state is S
        assert stage.Real_tasks is V.Real_tasks
    runner = V.Real_tasks("shared")
    assert dravel.loop_threads["node_0,shared"] is runner
    assert router.loop_threads["node_0,shared"] is runner


# ---------------------------------------------------------------------------
# Type stubs: shipped with the package, and in step with the runtime modules.

PACKAGE_DIR = Path(velkor.__file__).resolve().parent
SOURCE_DIR = Path(__file__).resolve().parent.parent / "src" / "velkor"


def test_stubs_and_marker_are_installed():
    recorded = {str(f) for f in importlib.metadata.files("velkor")}
    for name in STUB_FILES:
        assert (PACKAGE_DIR / name).is_file(), name
        assert f"velkor/{name}" in recorded, name
        assert (PACKAGE_DIR / name).read_bytes() == (SOURCE_DIR / name).read_bytes(), (
            f"installed {name} differs from the source tree: reinstall the package")


def stub_tree(module_name):
    path = PACKAGE_DIR / ("__init__.pyi" if module_name == "velkor" else module_name.rpartition(".")[2] + ".pyi")
    return ast.parse(path.read_text(), filename=str(path))


def stub_exports(module_name):
    """Names a type checker takes as public in a stub: definitions, and
    imports in the re-export forms (`import a as a`, `from m import a as a`,
    `from m import *`)."""
    names = set()
    for node in stub_tree(module_name).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom) and node.names[0].name == "*":
            names |= stub_exports(node.module)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("module_name", ["velkor", "velkor.velkor", "velkor.velkor_state", "velkor.dravel", "velkor.router"])
def test_stub_names_match_the_module(module_name):
    module = importlib.import_module(module_name)
    runtime = set(public_names(module))
    if module_name == "velkor":
        runtime -= {"dravel", "router", "monitor"}  # package attributes only once imported
    assert stub_exports(module_name) == runtime


def stub_classes():
    """The stub's classes of the module (its private typing helpers left out)."""
    return {n.name: n for n in stub_tree("velkor.velkor").body
            if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}


def runtime_classes():
    return {name: obj for name, obj in vars(V).items()
            if isinstance(obj, type) and obj.__module__ == "velkor.velkor"}


def parameters(fn):
    """(kind, name, default) of each parameter of an ast function, self excluded."""
    a = fn.args
    defaults = [None] * (len(a.posonlyargs) + len(a.args) - len(a.defaults)) + a.defaults
    out = [("positional", arg.arg, d and ast.unparse(d)) for arg, d in zip(a.posonlyargs + a.args, defaults)]
    if out and out[0][1] == "self":
        out.pop(0)
    if a.vararg:
        out.append(("*", a.vararg.arg, None))
    out += [("keyword", arg.arg, d and ast.unparse(d)) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append(("**", a.kwarg.arg, None))
    return out


def runtime_parameters(obj):
    """The parameters a runtime callable declares: nanobind's signature, the
    text signature, or the `name(...)\\n--\\n` line that opens the docstring."""
    if hasattr(obj, "__nb_signature__"):
        assert len(obj.__nb_signature__) == 1, "overloads are not expected"
        source, _, defaults = obj.__nb_signature__[0]
        # Defaults are placeholders: \N stands for repr(defaults[N]), \=N
        # for the text defaults[N] itself.
        source = re.sub(r"\\(=?)(\d+)", lambda m: defaults[int(m[2])] if m[1]
                        else repr(defaults[int(m[2])]), source)
    elif getattr(obj, "__text_signature__", None) is not None:
        source = "def f" + obj.__text_signature__.replace("$", "")
    else:
        head, sep, _ = (obj.__doc__ or "").partition("\n--\n")
        assert sep, f"{obj!r} declares no signature"
        source = "def " + head
    return parameters(ast.parse(source + ": ...").body[0])


def test_stub_classes_match_the_runtime_classes():
    assert set(stub_classes()) == set(runtime_classes())


@pytest.mark.parametrize("cls_name", sorted(runtime_classes()))
def test_stub_methods_match_the_runtime_class(cls_name):
    cls = runtime_classes()[cls_name]
    stub = stub_classes()[cls_name]
    stub_methods = {n.name: n for n in stub.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
    runtime_methods = {name: obj for name, obj in vars(cls).items()
                       if callable(obj) and not (name.startswith("__") and name != "__init__")}
    assert set(stub_methods) == set(runtime_methods)
    for name, fn in stub_methods.items():
        runtime = runtime_methods[name]
        assert isinstance(fn, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(runtime), name
        assert parameters(fn) == runtime_parameters(runtime), name


def test_stub_attributes_match_the_instances(make_runner):
    attributes = {
        name: {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        for name, node in stub_classes().items()
    }
    runner = make_runner("stubs")  # a started runner also has append_task_queue
    node = V.net_node()
    node.port = 0  # any free port
    serving = asyncio.run_coroutine_threadsafe(node.server_task(), runner.loop)
    wait_until(lambda: hasattr(node, "server") or serving.done(), message="the server to listen")
    assert not serving.done(), serving.exception()
    try:
        task = V.async_task(loop_thread=runner.name, name="stubs")
        event = S.Events[task.events[1]]
        assert attributes == {"net_node": set(vars(node)), "Real_tasks": set(vars(runner)),
                              "async_task": set(vars(task)), "custom_event": set(vars(event)),
                              "buffer": set(vars(V.buffer()))}
    finally:
        serving.cancel()
        wait_until(serving.done, message="the server to stop")


@pytest.mark.parametrize("route", ["setattr", "equal_key", "update"])
def test_a_shared_state_name_replaced_by_any_route_is_read_at_the_next_use(route):
    """A runner's key takes the node name from velkor_state.network_node at
    the moment it is built: a node object put in its place by any route to
    the module's dict is the one the next runner is named after."""
    first = V.Real_tasks(name="before")
    assert first.name == "node_0,before"
    original = S.network_node
    other = V.net_node()
    other.name = "node_9"
    try:
        if route == "setattr":
            S.network_node = other
        elif route == "equal_key":
            key = "".join(["network_", "node"])
            assert key is not "network_node"  # noqa: F632
            vars(S)[key] = other
        else:
            vars(S).update(network_node=other)
        assert V.Real_tasks(name="after").name == "node_9,after"
    finally:
        S.network_node = original
    assert V.Real_tasks(name="again").name == "node_0,again"
