"""Bad input: the public constructors and methods called with wrong types and
odd values (None, numbers, very long strings, names with commas, objects whose
__hash__, __eq__, __str__ or __deepcopy__ raise, huge dicts, deep and cyclic
data, iterables that fail half-way).

Each call must either do what the engine documents (the printed refusal or
"... exists!" line, or storing the value as given) or raise a Python
exception, and leave the objects involved in working order: no lock left
held, the flow-control count where it was, a normal insert and activation
(or a normal item through the stage) still working. The interpreter never
crashes or hangs. Hypothesis draws the values; the world fixture resets the
engine between tests only, so every test resets what it needs itself.
"""
import copy
import itertools
import random
import re
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import velkor.dravel
from velkor import velkor_state as S
from velkor.dravel import dravel
from velkor.router import router
from velkor.velkor import Real_tasks, async_task, buffer, custom_event

from helpers import (DISPATCH, LINK_SETS, NODE, assert_links_agree, available, key, locks_free,
                     runner_thread, wait_until)

pytestmark = pytest.mark.timeout(120)

REFUSAL = "tag should be string and data should be dict instance!"
UNITS = 3  # flow-control count of the tasks under test
SETTINGS = settings(
    max_examples=50, deadline=None, database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                           HealthCheck.data_too_large])
serial = itertools.count()


# --- odd objects ---------------------------------------------------------------------

class Boom(Exception):
    """What the odd objects below raise."""


class BadHash:
    def __hash__(self):
        raise Boom("__hash__")

    def __repr__(self):
        return "BadHash()"


class BadEq:
    """Hashes like the string "probe", so a lookup next to that key compares."""

    def __hash__(self):
        return hash("probe")

    def __eq__(self, other):
        raise Boom("__eq__")

    def __repr__(self):
        return "BadEq()"


class BadStr:
    def __str__(self):
        raise Boom("__str__")

    def __format__(self, spec):
        raise Boom("__format__")

    def __repr__(self):
        return "BadStr()"


class BadCopy:
    def __deepcopy__(self, memo):
        raise Boom("__deepcopy__")

    def __repr__(self):
        return "BadCopy()"


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")

    def __repr__(self):
        return "BadBool()"


class SneakyStr(str):
    """A string whose hash raises."""

    def __hash__(self):
        raise Boom("str __hash__")


class LoudStr(str):
    """A string whose comparisons raise; hashes as the plain string does."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom("str __eq__")

    def __lt__(self, other):
        raise Boom("str __lt__")


class PlainStr(str):
    """A string subclass that behaves like a string."""


class BadCopyDict(dict):
    def __deepcopy__(self, memo):
        raise Boom("dict __deepcopy__")


class Shrinker:
    """Its deep copy empties the container it sits in."""

    def __init__(self, home):
        self.home = home

    def __deepcopy__(self, memo):
        self.home.clear()
        return Shrinker(None)


class Grower:
    """Its deep copy adds an entry to the container it sits in."""

    def __init__(self, home):
        self.home = home

    def __deepcopy__(self, memo):
        if isinstance(self.home, dict):
            self.home[f"grown{len(self.home)}"] = 1
        elif len(self.home) < 50:
            self.home.append(1)
        return Grower(None)


class Holder:
    pass


class FailingIterable:
    """Yields `good` keys, then raises."""

    def __init__(self, *good):
        self.good = good

    def __iter__(self):
        yield from self.good
        raise Boom("__iter__")

    def __repr__(self):
        return f"FailingIterable{self.good}"


class Recipe:
    """Builds a fresh value on each call (odd values may be mutated by use)."""

    def __init__(self, build, text):
        self.build, self.text = build, text

    def __call__(self):
        return self.build()

    def __repr__(self):
        return self.text


def _cyclic_list():
    x = [1]
    x.append(x)
    return x


def _cyclic_dict():
    d = {"a": 1}
    d["self"] = d
    return d


def _cyclic_object():
    o = Holder()
    o.me = o
    o.data = {"o": o, "list": [o]}
    return {"o": o}


def _deep(depth, leaf):
    x = leaf
    for _ in range(depth):
        x = [x] if isinstance(leaf, list) else {"d": x}
    return x


def _shrinking_dict():
    d = {"a": 1}
    d["s"] = Shrinker(d)
    d["b"] = 2
    return d


def _shrinking_list():
    x = [1]
    x.append(Shrinker(x))
    x.append(2)
    return x


def _growing_dict():
    d = {"a": 1}
    d["g"] = Grower(d)
    return d


def _growing_list():
    x = [1]
    x.append(Grower(x))
    return x


ODD_RECIPES = [Recipe(f, text) for f, text in [
    (_cyclic_list, "cyclic list"),
    (_cyclic_dict, "cyclic dict"),
    (_cyclic_object, "cycle through an object"),
    (lambda: _deep(20_000, []), "list 20,000 deep"),
    (lambda: _deep(20_000, {}), "dict 20,000 deep"),
    (lambda: {f"k{i}": i for i in range(50_000)}, "dict of 50,000 keys"),
    (lambda: {"big": "x" * 1_000_000}, "dict holding a 1 MB string"),
    (lambda: "x" * 1_000_000, "1 MB string"),
    (lambda: {"bad": BadCopy()}, "dict holding a BadCopy"),
    (BadCopy, "BadCopy()"),
    (lambda: BadCopyDict(a=1), "BadCopyDict(a=1)"),
    (lambda: {BadEq(): 1}, "dict keyed by BadEq"),
    (lambda: {"h": BadHash(), "s": BadStr(), "b": BadBool()}, "dict of odd objects"),
    (_shrinking_dict, "dict emptied by its copy"),
    (_shrinking_list, "list emptied by its copy"),
    (_growing_dict, "dict grown by its copy"),
    (_growing_list, "list grown by its copy"),
    (threading.Lock, "threading.Lock()"),
    (lambda: {"lock": threading.Lock()}, "dict holding a lock"),
    (lambda: (i for i in range(3)), "generator"),
    (lambda: {"gen": (i for i in range(3))}, "dict holding a generator"),
    (lambda: {"module": sys}, "dict holding a module"),
    (lambda: {1: "int key", None: "None key"}, "dict with non-string keys"),
    (lambda: {"f": float("nan"), "i": float("inf")}, "dict of nan and inf"),
]]

def plain(value):
    """A recipe for a value that use cannot change."""
    return Recipe(lambda: value, repr(value))


def made(kind, *args):
    return Recipe(lambda: kind(*args), f"{kind.__name__}{args!r}")


atoms = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=30),
                  st.binary(max_size=10), st.complex_numbers())
leaf_recipes = st.one_of(atoms.map(plain), st.sampled_from(ODD_RECIPES))


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=4).map(
            lambda rs: Recipe(lambda: [r() for r in rs], f"[{', '.join(map(repr, rs))}]")),
        st.lists(children, max_size=3).map(
            lambda rs: Recipe(lambda: tuple(r() for r in rs), f"({', '.join(map(repr, rs))},)")),
        st.dictionaries(st.text(max_size=8), children, max_size=4).map(
            lambda d: Recipe(lambda: {k: r() for k, r in d.items()},
                             "{" + ", ".join(f"{k!r}: {r!r}" for k, r in d.items()) + "}")))


value_recipes = st.recursive(leaf_recipes, _containers, max_leaves=8)
dict_recipes = st.dictionaries(st.text(max_size=8), value_recipes, max_size=4).map(
    lambda d: Recipe(lambda: {k: r() for k, r in d.items()},
                     "{" + ", ".join(f"{k!r}: {r!r}" for k, r in d.items()) + "}"))
data_recipes = st.one_of(dict_recipes, value_recipes)

# Odd arguments. Hypothesis only ever sees recipes: it compares and hashes
# what it draws, which objects like these do not allow.
ODD_OBJECTS = [made(kind) for kind in (BadHash, BadEq, BadStr, BadCopy, BadBool, object)] + [
    plain(x) for x in (Boom("x"), Ellipsis, Holder, len, sys)]
ODD_STRINGS = [plain(x) for x in ("", ",", "a,b", ",,,", "probe", "\x00", "é,ü", "\n")] + [
    Recipe(lambda: "x" * 100_000, "'x' * 100_000")] + [
    made(kind, text) for kind in (SneakyStr, LoudStr, PlainStr) for text in ("probe", "t", "a,b")]
odd_leaves = st.one_of(atoms.map(plain), st.sampled_from(ODD_OBJECTS), st.sampled_from(ODD_STRINGS))
odd_values = st.one_of(
    odd_leaves,
    st.lists(odd_leaves, max_size=3).map(
        lambda rs: Recipe(lambda: [r() for r in rs], f"[{', '.join(map(repr, rs))}]")),
    st.lists(atoms, max_size=3).map(lambda xs: plain(tuple(xs))))
NONE = plain(None)
# None as a name has tests of its own below.
odd_names = st.one_of(odd_values.filter(lambda r: r.text != "None"), st.just(made(BadStr)))


def odd(*also):
    """Odd values, and these."""
    if not also:
        return odd_values
    return st.one_of(odd_values, st.sampled_from([plain(x) for x in also]))


# --- checks --------------------------------------------------------------------------

def task_locks_free(task):
    locks_free(task.kwargs_buffer_threading_lock, task.Task_buffer_available_threading_lock)


def event_locks_free(event):
    locks_free(event.custom_waiter_task_list_threading_lock,
               event.automate_waiter_task_list_threading_lock)


def empty_buffer(task):
    with task.kwargs_buffer_threading_lock:
        task.kwargs_buffer.clear()


def still_works(task, units=UNITS):
    """The task's locks are free, its count and service-available event are
    where they were, and a normal insert and activation work."""
    task_locks_free(task)
    assert task.Task_buffer_available == units
    assert available(task)
    empty_buffer(task)
    n = next(serial)
    task.insert_kwargs_buffer({"probe": n}, "probe")
    assert task.activation_check("probe") == (True, {"probe": n})
    task.insert_kwargs_buffer({"untagged": n})
    assert task.activation_check(None) == (True, {"untagged": n})
    assert task.activation_check(None) == (True, {})
    assert not task.kwargs_buffer


def hashable(value):
    try:
        hash(value)
    except Exception:
        return False
    return True


def no_fault_lines(text):
    for fault in ("Set changed size during iteration", "Fatal Python error", "Segmentation",
                  "SystemError", "Task exception was never retrieved", "was never awaited",
                  "Exception ignored"):
        assert fault not in text, f"the engine reported:\n{text}"


def printed(capfd):
    """What was printed since the last look, checked for engine faults."""
    out, err = capfd.readouterr()
    no_fault_lines(out + err)
    return out, err


EXISTS = r"(router|Dravel|Event) .*? exists!\n"  # names may hold line breaks
TICK_FAILED = r"[^\n]* task has error!!!\n"


def unexplained(out, *patterns):
    """What is left of the printed text once the lines of these kinds are out."""
    for pattern in patterns:
        out = re.sub(pattern, "", out, flags=re.S)
    return out


@pytest.fixture
def task(make_runner):
    """The task under test on a started runner, with its calls recorded."""
    runner = make_runner("r")
    calls = []

    def work(**kwargs):
        calls.append(kwargs)

    t = async_task(loop_thread=runner.name, name="t", task=work, Task_buffer_available=UNITS)
    return t, calls


# --- keyword buffer -------------------------------------------------------------------

@SETTINGS
@given(recipe=data_recipes, tag_recipe=odd(None))
def test_insert_kwargs_buffer_stores_refuses_or_raises(task, capfd, recipe, tag_recipe):
    t, _ = task
    empty_buffer(t)
    capfd.readouterr()
    data, tag = recipe(), tag_recipe()
    refused = tag is not None and not (isinstance(data, dict) and isinstance(tag, str))
    raised = None
    try:
        t.insert_kwargs_buffer(data, tag)
    except Exception as error:  # a Python exception is an accepted answer
        raised = error
    out, err = printed(capfd)
    assert err == ""
    entries = list(t.kwargs_buffer.values())
    if refused:
        assert raised is None and out == REFUSAL + "\n" and entries == []
    elif raised is None:
        assert out == "" and len(entries) == 1
        stored = entries[0]
        if tag is None:
            stamp = next(iter(t.kwargs_buffer))
            assert float(stamp) > 0
        else:
            assert type(stored) is dict and len(stored) == len(data)
        if isinstance(data, (dict, list)):
            assert stored is not data  # a copy, not the producer's object
    else:
        assert out == ""
        assert not isinstance(raised, SystemError), raised
        # Nothing of the data is stored (a new tag may keep an empty entry).
        assert len(entries) <= 1 and all(e == {} for e in entries)
        if hashable(tag):
            # The engine failed where copy.deepcopy fails too.
            with pytest.raises(Exception):
                copy.deepcopy(recipe())
    still_works(t)


@SETTINGS
@given(tag_recipe=odd(None), filled=st.booleans())
def test_activation_check_with_odd_tags(task, capfd, tag_recipe, filled):
    t, _ = task
    tag = tag_recipe()
    empty_buffer(t)
    capfd.readouterr()
    if filled:
        t.insert_kwargs_buffer({"p": 1}, "probe")
        t.insert_kwargs_buffer({"q": 2}, "other")
    before = dict(t.kwargs_buffer)
    try:
        result = t.activation_check(tag)
    except Exception as error:
        # Only a tag that cannot be looked up may fail.
        assert tag is not None and not isinstance(error, SystemError), error
        assert dict(t.kwargs_buffer) == before
    else:
        if tag is None:
            assert result == ((True, {"q": 2}) if filled else (True, {}))  # "other" sorts first
        elif filled and isinstance(tag, str) and str.__str__(tag) in before:
            assert result == (True, before[str.__str__(tag)])
        else:
            assert result == (False, {}) and dict(t.kwargs_buffer) == before
    out, err = printed(capfd)
    assert out == "" and err == ""
    still_works(t)


@SETTINGS
@given(tag_recipe=odd(None))
def test_run_with_odd_tags_gives_its_unit_back(task, capfd, tag_recipe):
    t, calls = task
    tag = tag_recipe()
    empty_buffer(t)
    calls.clear()
    capfd.readouterr()
    t.run(tag)
    wait_until(lambda: t.Task_buffer_available == UNITS, message="the step's unit to come back")
    wait_until(lambda: available(t), message="the task to be available again")
    assert calls == ([{}] if tag is None else [])  # nothing buffered: no call for a tag
    out, err = printed(capfd)
    if hashable(tag):
        assert out == "" and err == ""
    else:
        # A tag that cannot be looked up fails the step's activation, which
        # is reported and ends the step; the task goes on.
        assert out in ("", f"{t.name} task has error!!!\n"), out
        assert err == "" or re.search(r"(TypeError|Boom): .*\n\Z", err), err
    n = next(serial)
    t.insert_kwargs_buffer({"probe": n}, "probe")
    t.run("probe")
    wait_until(lambda: calls[-1:] == [{"probe": n}], message="the probe step")
    wait_until(lambda: t.Task_buffer_available == UNITS and available(t),
               message="the probe's unit to come back")
    still_works(t)


# --- link methods ---------------------------------------------------------------------

LINK_METHODS = ["insert_input_tasks", "insert_output_tasks", "delete_input_tasks",
                "delete_output_tasks", "insert_incode_input_tasks", "insert_incode_output_tasks",
                "delete_incode_input_tasks", "delete_incode_output_tasks"]


def _iterables(a, b):
    """Odd arguments for a's link methods, b being a registered task."""
    return {
        "None": lambda: None, "int": lambda: 7, "float": lambda: 2.5,
        "BadHash": BadHash, "BadStr": BadStr,
        "key as a bare string": lambda: b,
        "empty string": lambda: "",
        "bytes": lambda: b.encode(),
        "[b]": lambda: [b], "[b, b]": lambda: [b, b], "(b,)": lambda: (b,),
        "{b}": lambda: {b}, "frozenset": lambda: frozenset([b]), "{b: 1}": lambda: {b: 1},
        "[a] (itself)": lambda: [a],
        "[b, ghost]": lambda: [b, key("ghost")], "[ghost, b]": lambda: [key("ghost"), b],
        "[None]": lambda: [None], "[[]]": lambda: [[]], "[1]": lambda: [1],
        "[BadHash]": lambda: [BadHash()], "[BadEq]": lambda: [BadEq()],
        "[SneakyStr(b)]": lambda: [SneakyStr(b)], "[LoudStr(b)]": lambda: [LoudStr(b)],
        "[PlainStr(b)]": lambda: [PlainStr(b)],
        "[b with a comma more]": lambda: [b + ",x"],
        "10,000 unknown keys": lambda: [key(f"ghost{i}") for i in range(10_000)],
        "fails after b": lambda: FailingIterable(b),
        "fails at once": lambda: FailingIterable(),
        "a generator": lambda: (k for k in [b, key("ghost")]),
        "a long key": lambda: [key("x" * 100_000)],
    }


@pytest.fixture
def trio(make_runner):
    """Tasks a and b under test and c, which a feeds in the probe."""
    runner = make_runner("r")
    got = []

    def produce(n):
        S.Tasks[key("c")].insert_kwargs_buffer({"n": n}, f"n#{n}")
        return f"n#{n}"

    a = async_task(loop_thread=runner.name, name="a", task=produce, Task_buffer_available=UNITS)
    b = async_task(loop_thread=runner.name, name="b", Task_buffer_available=UNITS)
    c = async_task(loop_thread=runner.name, name="c", task=lambda n: got.append(n),
                   Task_buffer_available=UNITS)
    return a, b, c, got


@SETTINGS
@given(method=st.sampled_from(LINK_METHODS), which=st.sampled_from(sorted(_iterables("a", "b"))),
       linked_first=st.booleans())
def test_link_methods_with_odd_iterables(trio, capfd, method, which, linked_first):
    a, b, c, got = trio
    if linked_first:
        a.insert_output_tasks([b.name])
        a.insert_incode_output_tasks([b.name])
    capfd.readouterr()
    argument = _iterables(a.name, b.name)[which]()
    try:
        getattr(a, method)(argument)
    except Exception as error:
        assert not isinstance(error, SystemError), error
    out, err = printed(capfd)
    assert out == "" and err == ""
    assert_links_agree(registered_only=True)
    for t in (a, b, c):
        task_locks_free(t)
        event_locks_free(S.Events[t.events[1]])
    # Back to no links at all.
    for t in (a, b, c):
        for name in LINK_SETS:
            getattr(t, name).clear()
    # The same objects still wire and carry an item.
    a.insert_output_tasks([c.name])
    n = next(serial)
    wait_until(lambda: c.events[1] in a.loop_thread.Events_async, message="c's mirror")
    a.insert_kwargs_buffer({"n": n}, "go")
    a.run("go")
    wait_until(lambda: got[-1:] == [n], message="the item at c")
    wait_until(lambda: all(t.Task_buffer_available == UNITS and available(t) for t in (a, c)),
               message="the units to come back")
    a.delete_output_tasks([c.name])
    assert a.output_tasks == set() and c.input_tasks == set()
    for t in (a, b, c):
        still_works(t)


# --- task constructor ----------------------------------------------------------------

def forget(task_key):
    """Take a task and its events out of the tables without the engine."""
    S.Tasks.pop(task_key, None)
    for name in [e for e in S.Events if e.startswith(task_key)]:
        S.Events.pop(name, None)


@SETTINGS
@given(name=odd(), args=st.lists(odd_values, max_size=3),
       extra=st.dictionaries(st.sampled_from(["colour", "size", "x"]), odd_values, max_size=2),
       priority=odd_values, work=st.sampled_from([None, 5, "text", len, print]),
       cpu=odd_values, wt=odd_values, wt_sleep=odd_values, units=odd_values,
       capacity=st.one_of(odd_values, st.integers(-3, 3).map(plain)))
def test_task_constructor_with_odd_values(make_runner, capfd, name, args, extra, priority, work,
                                          cpu, wt, wt_sleep, units, capacity):
    if "node_0,r" not in S.loop_threads:
        make_runner("r")
    name, priority, cpu, wt = name(), priority(), cpu(), wt()
    wt_sleep, units, capacity = wt_sleep(), units(), capacity()
    args = [r() for r in args]
    extra = {k: r() for k, r in extra.items()}
    capfd.readouterr()
    try:
        text = str(name)
    except Exception:
        text = None
    try:
        t = async_task(*args, loop_thread=key("r"), name=name, task=work, WT=wt, WT_sleep=wt_sleep,
                       CPU_bound=cpu, priority=priority, Task_buffer_available=units,
                       kwargs_buffer_len=capacity, **extra)
    except Exception as error:
        assert not isinstance(error, SystemError), error
        # Only a name without a text form or with a comma is refused.
        assert text is None or "," in text, error
        if text is not None:
            forget(key(text))
        printed(capfd)
        return
    out, err = printed(capfd)
    assert err == "" and unexplained(out, EXISTS) == "", out
    assert t.name == key(text) and S.Tasks[t.name] is t
    assert t.events == [f"{t.name},event", f"{t.name},service_available_event"]
    assert t.args == tuple(args) and t.task is work and t.WT is wt and t.WT_sleep is wt_sleep
    assert t.CPU_bound is cpu and t.Task_buffer_available is units
    assert t.kwargs_buffer_len is capacity and t.stop_flag == 0 and t.WT_run == 0
    assert available(t)
    task_locks_free(t)
    try:
        over = 1 > capacity
    except Exception:
        over = None  # the capacity cannot be compared: inserts raise
    if over is None:
        with pytest.raises(Exception):
            t.insert_kwargs_buffer({"x": 1}, "probe")
    else:
        t.insert_kwargs_buffer({"x": 1}, "probe")
        assert t.activation_check("probe") == ((False, {}) if over else (True, {"x": 1}))
    task_locks_free(t)
    t.cancel()
    assert t.name not in S.Tasks and not any(e.startswith(t.name + ",") for e in S.Events)
    printed(capfd)


# --- runners and buffer records ------------------------------------------------------

@SETTINGS
@given(name=odd_names, start=st.booleans())
def test_runner_with_odd_names(capfd, name, start):
    name = name()
    try:
        text = str(name)
    except Exception:
        with pytest.raises(Boom):
            Real_tasks(name)
        assert not S.loop_threads
        return
    runner = Real_tasks(name)
    try:
        assert runner.name == key(text) and S.loop_threads[runner.name] is runner
        assert runner.Events_async == {} and not runner.loop.is_running()
        if start:
            runner.start()
            wait_until(lambda: runner.loop.is_running(), message="the loop to run")
            assert runner_thread(runner) is not None
            runner.stop()
            wait_until(lambda: runner.loop.is_closed(), message="the loop to close")
            wait_until(lambda: runner_thread(runner) is None, message="the thread to end")
    finally:
        if not runner.loop.is_closed():
            runner.loop.close()
        S.loop_threads.clear()
    out, err = printed(capfd)
    assert out == "" and err == ""


def test_runner_named_none_is_registered_like_any_name():
    runner = Real_tasks(None)
    assert runner.name == "node_0,None" and S.loop_threads["node_0,None"] is runner


@SETTINGS
@given(maxlen=st.one_of(odd_values, st.sampled_from(ODD_RECIPES)))
def test_buffer_record_keeps_any_maxlen(maxlen):
    maxlen = maxlen()
    b = buffer(maxlen=maxlen)
    assert b.maxlen is maxlen and b.buffer == [] and b.last_time is None
    locks_free(b.buffer_threading_lock)
    b.buffer.append({"buffer_timestamp": 1, "data": {}})
    assert len(b.buffer) == 1 and buffer().buffer == []


# --- events ---------------------------------------------------------------------------

@pytest.fixture
def waiters(make_runner):
    """A started runner and a registered task to serve as a waiter."""
    runner = make_runner("r")
    w = async_task(loop_thread=runner.name, name="w")
    return runner, w


def forget_events(keep):
    for name in [e for e in S.Events if e not in keep]:
        S.Events.pop(name, None)


@SETTINGS
@given(name=odd_names, owner=odd(None, "node_0,w", "node_0,ghost"), twice=st.booleans())
def test_event_constructor_with_odd_values(waiters, capfd, name, owner, twice):
    runner, w = waiters
    name, owner = name(), owner()
    keep = set(w.events)
    forget_events(keep)
    capfd.readouterr()
    try:
        text = str(name)
    except Exception:
        with pytest.raises(Boom):
            custom_event(name, owner)
        assert set(S.Events) == keep
        return
    full = key(text)
    fresh = full not in S.Events
    try:
        custom_event(name, owner)
    except Exception as error:
        # Only an owner that is not a registered task may fail the refresh.
        assert not isinstance(error, SystemError), error
        assert not (owner is None or (type(owner) is str and owner == "node_0,w")) or not fresh, error
    out, err = printed(capfd)
    assert err == ""
    assert out == ("" if fresh else f"Event {text} exists!\n")
    event = S.Events[full]
    event_locks_free(event)
    if twice:
        again = custom_event(name)
        assert S.Events[full] is event and not hasattr(again, "_value")
        assert printed(capfd)[0] == f"Event {text} exists!\n"
    if owner is None or (type(owner) is str and owner == "node_0,w"):
        assert event.l_t_list == set()  # w has no producers; no owner: no waiters
    assert event.set() is True and event.is_set()
    assert event.clear() is True and not event.is_set()
    event_locks_free(event)
    still_works(w, units=float("inf"))


def test_event_named_none_is_registered_like_any_name():
    event = custom_event(None)
    assert event.name == "node_0,None" and S.Events["node_0,None"] is event
    assert event.set() is True and event.is_set()


@SETTINGS
@given(l_t_list=st.one_of(
           odd_values,
           st.sets(st.one_of(st.text(max_size=10), st.integers()), max_size=3).map(plain),
           st.sampled_from([Recipe(lambda: {k}, f"{{{k!r}}}")
                            for k in ("node_0,ghost", "node_0,r", "node_0", "other,r")])),
       value=odd(True, False), owner=odd(None))
def test_event_set_and_clear_with_odd_state(waiters, capfd, l_t_list, value, owner):
    runner, w = waiters
    event = custom_event(f"odd{next(serial)}")
    event.l_t_list, event._value, event.task = l_t_list(), value(), owner()
    capfd.readouterr()
    results = [event.set(), event.clear(), event.set()]
    assert all(r is True or r is False for r in results), results
    try:
        event.refresh_automate_waiter_task_list()
    except Exception as error:
        assert not isinstance(error, SystemError), error
    out, err = printed(capfd)
    assert out == "" and err == ""
    event_locks_free(event)
    # Back to a sane state, the same object works.
    event.l_t_list, event._value, event.task = set(), False, None
    event.insert_custom_waiter_task(w.name)
    assert event.l_t_list == {runner.name}
    assert event.set() is True and event.is_set()
    wait_until(lambda: event.name in runner.Events_async and runner.Events_async[event.name].is_set(),
               message="the mirror to be set")
    assert event.clear() is True
    wait_until(lambda: not runner.Events_async[event.name].is_set(), message="the mirror to clear")
    event.delete()
    assert event.name not in S.Events and event.name not in runner.Events_async
    printed(capfd)


@SETTINGS
@given(waiter=st.one_of(odd("nocomma", "node_0,ghost", "node_0,w"),
                        st.integers(0, 10 ** 9).map(lambda n: plain(f"far{n},x"))),
       delete_first=st.booleans())
def test_event_waiter_methods_with_odd_keys(waiters, capfd, waiter, delete_first):
    runner, w = waiters
    waiter = waiter()
    event = custom_event(f"ev{next(serial)}")
    runners_before = set(S.loop_threads)
    capfd.readouterr()
    try:
        if delete_first:
            with pytest.raises(Exception):
                event.delete_custom_waiter_task(waiter)  # not a waiter: KeyError or TypeError
            assert event.custom_waiter_task_list == set()
        else:
            try:
                event.insert_custom_waiter_task(waiter)
            except Exception as error:
                assert not isinstance(error, SystemError), error
                # Refused before the list changed, or (the waiter's runner
                # could not be found) after it: l_t_list stays as it was.
                assert all(x is waiter for x in event.custom_waiter_task_list)
                assert event.l_t_list == set()
            else:
                assert any(x is waiter for x in event.custom_waiter_task_list)
                assert S.Tasks[waiter].loop_thread.name in event.l_t_list
            if event.custom_waiter_task_list:
                event.delete_custom_waiter_task(waiter)
            assert event.custom_waiter_task_list == set()
        out, err = printed(capfd)
        assert out == "" and err == ""
        event_locks_free(event)
    finally:
        # A placeholder of another node runs on a runner of its own that
        # nobody starts: run it down (which also unregisters the placeholder),
        # so that nothing queued there is left behind.
        for name in set(S.loop_threads) - runners_before:
            placeholder_runner = S.loop_threads[name]
            placeholder_runner.start()
            placeholder_runner.stop()
            wait_until(lambda: placeholder_runner.loop.is_closed(), message="the runner to close")
            del S.loop_threads[name]
    assert all(k.startswith(f"{NODE},") for k in S.Tasks), sorted(S.Tasks)
    event.insert_custom_waiter_task(w.name)
    assert event.set() is True
    wait_until(lambda: event.name in runner.Events_async and runner.Events_async[event.name].is_set(),
               message="the mirror to be set")
    event.delete_custom_waiter_task(w.name)
    event.delete()
    still_works(w, units=float("inf"))


# --- router and dravel ----------------------------------------------------------------

@pytest.fixture
def stages(make_runner, monkeypatch):
    """A consumer k1 fed by a working router "main" and a working dravel
    "main"; a second consumer k2."""
    # The dravels draw from a generator of their own, not from the random
    # module that hypothesis watches.
    monkeypatch.setattr(velkor.dravel, "random", random.Random(3))
    runner = make_runner("r")
    got = {"k1": [], "k2": []}
    for n in got:
        async_task(loop_thread=runner.name, name=n, task=lambda _n=n, **kw: got[_n].append(kw),
                   Task_buffer_available=UNITS)
    main = router("main", [key("k1")])
    frames = buffer()
    drain = dravel("main", 0.005, 0, zarib=1.0, output_task=key("k1"), buffers_list=[frames])
    return main, drain, frames, got


def router_delivers(got):
    rt = S.Tasks[key("router_main")]
    n = next(serial)
    wait_until(lambda: available(rt) and key("k1,service_available_event") in
               S.loop_threads[DISPATCH].Events_async, message="the router to be free")
    rt.insert_kwargs_buffer({"n": n}, "item")
    rt.run("item")
    wait_until(lambda: {"n": n} in got["k1"] + got["k2"], message="the item through the router")


def dravel_delivers(frames, got):
    n = next(serial)
    with frames.buffer_threading_lock:
        stamp = frames.buffer[-1]["buffer_timestamp"] + 1 if frames.buffer else n + 10 ** 6
        frames.buffer.append({"buffer_timestamp": stamp, "data": {"frame": n}})
    wait_until(lambda: {"frame": n} in got["k1"], message="the frame through the dravel")


@SETTINGS
@given(name=odd("main"),
       outputs=st.sampled_from(sorted(_iterables("node_0,k2", "node_0,k2"))))
def test_router_constructor_and_links_with_odd_values(stages, capfd, name, outputs):
    main, _, _, got = stages
    name = name()
    capfd.readouterr()
    try:
        text = str(name)
    except Exception:
        text = None
    argument = _iterables(key("k2"), key("k2"))[outputs]()
    known = text is not None and f"router_{text}" in S.router_dict
    try:
        r = router(name, argument)
    except Exception as error:
        assert not isinstance(error, SystemError), error
        assert not known
    else:
        if known:
            assert not hasattr(r, "name")
    out, err = printed(capfd)
    assert unexplained(out, EXISTS, TICK_FAILED) == "", out
    if known:
        assert out == f"router {text} exists!\n"
    try:
        main.insert_output_tasks(_iterables(key("k2"), key("k2"))[outputs]())
    except Exception as error:
        assert not isinstance(error, SystemError), error
    try:
        main.delete_output_tasks(_iterables(key("k2"), key("k2"))[outputs]())
    except Exception as error:
        assert not isinstance(error, SystemError), error
    out, err = printed(capfd)
    assert out == "" and err == ""
    assert main.output_tasks <= {key("k1"), key("k2")}
    main.output_tasks.discard(key("k2"))
    for n in ("k1", "k2"):
        task_locks_free(S.Tasks[key(n)])
    router_delivers(got)
    printed(capfd)


@SETTINGS
@given(name=odd("main"),
       wt_sleep=st.sampled_from([3600, 10 ** 30, float("inf"), True, 1e6]),
       optimum_delay=odd_values, zarib=odd_values,
       output=odd(None, "node_0,k2", "node_0,ghost"),
       buffers=st.one_of(odd_values,
                         st.sampled_from([Recipe(list, "[]"), Recipe(lambda: [buffer()], "[buffer()]"),
                                          Recipe(lambda: {"not": "a list"}, "a dict")])),
       extra=st.dictionaries(st.sampled_from(["colour", "size"]), odd_values, max_size=2))
def test_dravel_constructor_with_odd_values(stages, capfd, name, wt_sleep, optimum_delay, zarib,
                                            output, buffers, extra):
    _, drain, frames, got = stages
    name, optimum_delay, zarib, output = name(), optimum_delay(), zarib(), output()
    buffers = buffers()
    extra = {k: r() for k, r in extra.items()}
    capfd.readouterr()
    try:
        text = str(name)
    except Exception:
        text = None
    known = text is not None and text in S.dravel_dict
    try:
        d = dravel(name, wt_sleep, optimum_delay, zarib, output, buffers, **extra)
    except Exception as error:
        assert not isinstance(error, SystemError), error
        assert not known
    else:
        if known:
            assert not hasattr(d, "delay")
        else:
            assert S.dravel_dict[text] is d and d.kwargs == extra
            assert d.delay is optimum_delay and d.optimum_delay is optimum_delay
            assert d.zarib is zarib and d.output_task == output
            assert d.buffers_list == buffers and d.buffers_list is not buffers
    out, err = printed(capfd)
    assert unexplained(out, EXISTS, TICK_FAILED) == "", out
    if known:
        assert out == f"Dravel {text} exists!\n"
    task_locks_free(S.Tasks[key("k1")])
    task_locks_free(S.Tasks[key("k2")])
    dravel_delivers(frames, got)
    router_delivers(got)
    # A tick of an odd dravel may fail; it is reported, nothing else.
    printed(capfd)


def test_router_given_none_as_consumers_reports_a_known_name(make_runner, capfd):
    router("a")
    capfd.readouterr()
    again = router("a", None)
    assert capfd.readouterr().out == "router a exists!\n" and not hasattr(again, "name")


def test_dravel_given_none_as_buffers_reports_a_known_name(make_runner, capfd):
    dravel("d", 3600, 0)
    capfd.readouterr()
    again = dravel("d", 3600, 0, buffers_list=None)
    assert capfd.readouterr().out == "Dravel d exists!\n" and not hasattr(again, "delay")
