"""The keyword buffer: insert_kwargs_buffer and activation_check."""
import threading
import time

import pytest

import velkor

from helpers import locks_free

V = velkor.velkor
REFUSAL = "tag should be string and data should be dict instance!\n"


@pytest.fixture
def task(make_runner):
    make_runner("buf", start=False)
    return V.async_task(loop_thread="node_0,buf", name="t")


def test_tagged_inserts_merge_into_one_entry_and_new_values_win(task):
    task.insert_kwargs_buffer({"x": 1}, "t")
    task.insert_kwargs_buffer({"y": 2}, tag="t")
    assert dict(task.kwargs_buffer) == {"t": {"x": 1, "y": 2}}
    task.insert_kwargs_buffer({"x": 3}, "t")
    assert dict(task.kwargs_buffer) == {"t": {"x": 3, "y": 2}}


def test_inserted_values_are_deep_copies_with_sharing_kept(task):
    shared = [1, [2]]
    data = {"a": shared, "b": shared, "c": {"d": shared}}
    task.insert_kwargs_buffer(data, "t")
    task.insert_kwargs_buffer(data)
    shared[1].append(3)
    data["e"] = 1
    for stored in task.kwargs_buffer.values():
        assert stored == {"a": [1, [2]], "b": [1, [2]], "c": {"d": [1, [2]]}}
        assert stored["a"] is stored["b"] is stored["c"]["d"]
        assert stored["a"] is not shared


@pytest.mark.parametrize("data, tag", [
    ([1, 2], "t"),           # data not a dict
    ({"x": 1}, 5),           # tag not a string
    ({"x": 1}, b"t"),
    ({"x": 1}, ["t"]),       # not even hashable: refused before any lookup
])
def test_refused_tagged_inserts_print_one_line_and_change_nothing(task, capfd, data, tag):
    task.insert_kwargs_buffer({"keep": 1}, "k")
    task.insert_kwargs_buffer(data, tag)
    assert capfd.readouterr().out == REFUSAL
    assert dict(task.kwargs_buffer) == {"k": {"keep": 1}}


def test_subclasses_of_dict_and_str_are_accepted(task, capfd):
    class Tag(str):
        pass

    class Data(dict):
        pass

    task.insert_kwargs_buffer(Data(x=1), Tag("t"))
    assert capfd.readouterr().out == ""
    assert task.activation_check("t") == (True, {"x": 1})


def test_untagged_inserts_get_distinct_time_stamps_in_time_order(task):
    before = time.time()
    for i in range(5):
        task.insert_kwargs_buffer({"i": i})
    after = time.time()
    keys = list(task.kwargs_buffer)
    assert len(set(keys)) == 5
    stamps = [float(k) for k in keys]
    assert keys == [str(s) for s in stamps]  # the text of a float, as str() writes it
    assert stamps == sorted(stamps) and before <= stamps[0] and stamps[-1] <= after
    # Consumed oldest first.
    assert [task.activation_check(None)[1]["i"] for _ in range(5)] == list(range(5))


def test_untagged_inserts_in_a_burst_never_share_a_stamp(task):
    """Inserts faster than the clock's text changes wait for it to change:
    thousands in a row, each under its own key, in insertion order."""
    task.kwargs_buffer_len = 10_000
    for i in range(3000):
        task.insert_kwargs_buffer({"i": i})
    keys = list(task.kwargs_buffer)
    assert len(set(keys)) == 3000
    assert keys == [str(float(k)) for k in keys]  # each as str() writes its value
    assert [float(k) for k in keys] == sorted(float(k) for k in keys)
    assert [v["i"] for v in task.kwargs_buffer.values()] == list(range(3000))


def test_untagged_insert_accepts_any_object(task):
    task.insert_kwargs_buffer([1, 2])
    task.insert_kwargs_buffer(None)
    assert list(task.kwargs_buffer.values()) == [[1, 2], None]


def test_capacity_drops_the_oldest_entry_by_insertion_order(task, capfd):
    task.kwargs_buffer_len = 2
    task.insert_kwargs_buffer({"n": 1}, "a")
    task.insert_kwargs_buffer({"n": 2}, "b")
    task.insert_kwargs_buffer({"m": 1}, "a")  # merging keeps a's place at the front
    task.insert_kwargs_buffer({"n": 3}, "c")
    assert dict(task.kwargs_buffer) == {"b": {"n": 2}, "c": {"n": 3}}
    # At most one entry goes per call, and a refused insert still trims.
    task.kwargs_buffer_len = 0
    task.insert_kwargs_buffer([1], "d")
    assert capfd.readouterr().out == REFUSAL
    assert list(task.kwargs_buffer) == ["c"]


def test_capacity_may_be_infinite(task):
    task.kwargs_buffer_len = float("inf")
    for i in range(150):
        task.insert_kwargs_buffer({}, str(i))
    assert len(task.kwargs_buffer) == 150
    task.kwargs_buffer_len = 100
    task.insert_kwargs_buffer({}, "x")
    assert len(task.kwargs_buffer) == 150 and "0" not in task.kwargs_buffer


def test_activation_check_results(task):
    assert task.activation_check(None) == (True, {})
    assert task.activation_check("x") == (False, {})
    assert "x" not in task.kwargs_buffer  # the lookup creates no entry
    task.insert_kwargs_buffer({"x": 1}, "t")
    stored = task.kwargs_buffer["t"]
    ready, kwargs = task.activation_check("t")
    assert ready is True and kwargs is stored  # the stored dict itself, not a copy
    kwargs["y"] = 2
    assert dict(task.kwargs_buffer) == {}
    assert task.activation_check("t") == (False, {})


@pytest.mark.parametrize("tag, first", [("job", "stamp"), ("0job", "0job")])
def test_untagged_activation_takes_keys_by_sort_order(task, tag, first):
    task.insert_kwargs_buffer({"from": "stamp"})
    task.insert_kwargs_buffer({"from": tag}, tag)
    assert task.activation_check(None) == (True, {"from": first})


class Uncopyable:
    def __deepcopy__(self, memo):
        raise ValueError("no copies")


@pytest.mark.parametrize("tag", ["t", None])
def test_a_failing_copy_raises_and_leaves_the_buffer_unchanged(task, tag):
    task.insert_kwargs_buffer({"keep": 1}, "k")
    with pytest.raises(ValueError, match="no copies"):
        task.insert_kwargs_buffer({"bad": Uncopyable()}, tag)
    assert dict(task.kwargs_buffer) == {"k": {"keep": 1}}
    locks_free(task.kwargs_buffer_threading_lock)


def test_tags_that_cannot_be_hashed_or_compared_raise_and_release_the_lock(task):
    class BadTag(str):
        def __hash__(self):
            raise RuntimeError("no hash")

    with pytest.raises(RuntimeError, match="no hash"):
        task.insert_kwargs_buffer({"x": 1}, BadTag("t"))
    locks_free(task.kwargs_buffer_threading_lock)
    with pytest.raises(TypeError):
        task.activation_check(["unhashable"])
    locks_free(task.kwargs_buffer_threading_lock)
    assert dict(task.kwargs_buffer) == {}


def test_a_free_lock_is_taken_without_a_call_and_a_held_one_is_waited_for(task):
    """The engine takes a free threading.Lock directly (its layout is checked
    at import), and it stays one lock with what Python code does with it."""
    import _pyco_test

    assert _pyco_test.lock_layout_known()
    lock = task.kwargs_buffer_threading_lock
    for _ in range(3):
        task.insert_kwargs_buffer({"x": 1}, "t")
        assert not lock.locked()
        assert lock.acquire(blocking=False)  # free: the engine released it
        lock.release()
    assert task.activation_check("t") == (True, {"x": 1})
    assert not lock.locked()


def test_both_operations_wait_for_the_buffer_lock(task):
    task.insert_kwargs_buffer({"x": 1}, "t")
    lock = task.kwargs_buffer_threading_lock
    results = []
    lock.acquire()
    try:
        threads = [threading.Thread(target=lambda: task.insert_kwargs_buffer({"y": 2}, "t")),
                   threading.Thread(target=lambda: results.append(task.activation_check(None)))]
        for t in threads:
            t.start()
        time.sleep(0.05)  # give them a chance to get past the lock if it were not taken
        assert results == [] and dict(task.kwargs_buffer) == {"t": {"x": 1}}
    finally:
        lock.release()
    for t in threads:
        t.join(5)
    assert len(results) == 1 and results[0][0] is True


def test_concurrent_producers_lose_nothing(task):
    task.kwargs_buffer_len = 10_000

    def produce(n):
        for i in range(200):
            task.insert_kwargs_buffer({f"p{n}": i}, f"tag{i}")
            if i % 20 == 0:
                task.insert_kwargs_buffer({"n": n, "i": i})

    threads = [threading.Thread(target=produce, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    buffer = dict(task.kwargs_buffer)
    tagged = {k: v for k, v in buffer.items() if k.startswith("tag")}
    assert tagged == {f"tag{i}": {f"p{n}": i for n in range(4)} for i in range(200)}
    untagged = [v for k, v in buffer.items() if not k.startswith("tag")]
    assert sorted((v["n"], v["i"]) for v in untagged) == [
        (n, i) for n in range(4) for i in range(0, 200, 20)]


def test_a_replaced_buffer_object_is_the_one_used(task):
    import collections

    mine = collections.defaultdict(dict)
    task.kwargs_buffer = mine
    task.insert_kwargs_buffer({"x": 1}, "t")
    assert mine == {"t": {"x": 1}}
    assert task.activation_check("t") == (True, {"x": 1})
    assert mine == {}


@pytest.mark.parametrize("route", ["setattr", "equal_key", "update", "whole_dict", "readded"])
def test_a_buffer_replaced_by_any_route_is_used_at_the_next_insert(task, route):
    """The engine reads task attributes at every use: however the instance
    __dict__ gets a new buffer (a key that is an equal but distinct string,
    update(), a new __dict__, deletion then assignment), the next insert goes
    into it, right after inserts into the old one."""
    import collections

    old = task.kwargs_buffer
    task.insert_kwargs_buffer({"x": 1}, "a")
    task.insert_kwargs_buffer({"x": 2}, "a")
    new = collections.defaultdict(dict)
    if route == "setattr":
        task.kwargs_buffer = new
    elif route == "equal_key":
        key = "".join(["kwargs_", "buffer"])
        assert key == "kwargs_buffer" and key is not "kwargs_buffer"  # noqa: F632
        task.__dict__[key] = new
    elif route == "update":
        task.__dict__.update({"kwargs_buffer": new})
    elif route == "whole_dict":
        task.__dict__ = dict(task.__dict__, kwargs_buffer=new)
    else:
        del task.kwargs_buffer
        with pytest.raises(AttributeError):
            task.insert_kwargs_buffer({"x": 3}, "a")
        task.kwargs_buffer = new
    task.insert_kwargs_buffer({"y": 4}, "b")
    assert dict(new) == {"b": {"y": 4}}
    assert dict(old) == {"a": {"x": 2}}
