"""Links between tasks (the eight link methods), the refresh of the consumer's
service-available event, and cancel."""
import asyncio
import threading

import pytest

from velkor import velkor_state as S
from velkor.velkor import async_task

from helpers import NO_LINKS, assert_links_agree, links, run_on, settle, wait_until

# insert method, delete method, the set they change on the caller, the set of the other end
PAIRS = [
    ("insert_input_tasks", "delete_input_tasks", "input_tasks", "output_tasks"),
    ("insert_output_tasks", "delete_output_tasks", "output_tasks", "input_tasks"),
    ("insert_incode_input_tasks", "delete_incode_input_tasks", "incode_input_tasks",
     "incode_output_tasks"),
    ("insert_incode_output_tasks", "delete_incode_output_tasks", "incode_output_tasks",
     "incode_input_tasks"),
]
# Ways of making b a producer of a: (caller, method); each refreshes a's event.
MAKE_B_FEED_A = [("a", "insert_input_tasks"), ("b", "insert_output_tasks"),
                 ("a", "insert_incode_input_tasks"), ("b", "insert_incode_output_tasks")]
AVAILABLE = "node_0,a,service_available_event"


@pytest.fixture
def graph(make_runner):
    """Tasks a and c on runner r, b on runner p, d on runner q."""
    runners = {name: make_runner(name) for name in "rpq"}
    tasks = {name: async_task(loop_thread=f"node_0,{where}", name=name)
             for name, where in (("a", "r"), ("b", "p"), ("c", "r"), ("d", "q"))}
    settle(*runners.values())
    return runners, tasks


@pytest.mark.parametrize("insert, delete, mine, theirs", PAIRS)
def test_each_method_keeps_both_ends(graph, insert, delete, mine, theirs):
    _, t = graph
    a, b, c = t["a"], t["b"], t["c"]
    getattr(a, insert)(["node_0,b", "node_0,c"])
    getattr(a, insert)(("node_0,b",))  # present: nothing changes
    assert getattr(a, mine) == {"node_0,b", "node_0,c"}
    assert getattr(b, theirs) == {"node_0,a"} and getattr(c, theirs) == {"node_0,a"}
    assert sum(map(len, links(a).values())) == 2
    assert sum(map(len, links(b).values())) == sum(map(len, links(c).values())) == 1
    assert_links_agree()

    getattr(a, delete)(iter(["node_0,b", "node_0,d", "node_0,ghost"]))  # absent keys are skipped
    assert getattr(a, mine) == {"node_0,c"} and getattr(b, theirs) == set()
    getattr(a, delete)(getattr(a, mine))  # the own set itself: iterated as a snapshot
    for task in t.values():
        assert links(task) == NO_LINKS


@pytest.mark.parametrize("method", [p[0] for p in PAIRS] + [p[1] for p in PAIRS])
def test_an_unregistered_key_raises_and_changes_neither_end(graph, method):
    _, t = graph
    a, b, c = t["a"], t["b"], t["c"]
    insert, delete, mine, theirs = next(p for p in PAIRS if method in p[:2])
    deleting = method == delete
    if deleting:  # only linked keys are looked up
        getattr(a, insert)(["node_0,b", "node_0,c"])
        getattr(a, mine).add("node_0,ghost")
    with pytest.raises(KeyError, match="node_0,ghost"):
        getattr(a, method)(["node_0,b", "node_0,ghost", "node_0,c"])
    # b, before the unknown key, was done; c, after it, was not.
    if deleting:
        assert getattr(a, mine) == {"node_0,ghost", "node_0,c"}
        assert (getattr(b, theirs), getattr(c, theirs)) == (set(), {"node_0,a"})
    else:
        assert getattr(a, mine) == {"node_0,b"}
        assert (getattr(b, theirs), getattr(c, theirs)) == ({"node_0,a"}, set())
    getattr(a, mine).discard("node_0,ghost")
    assert_links_agree()


@pytest.mark.parametrize("value", [True, False])
@pytest.mark.parametrize("caller, method", MAKE_B_FEED_A)
def test_a_new_producer_gets_a_mirror_with_the_current_value(graph, caller, method, value):
    runners, t = graph
    available = S.Events[AVAILABLE]
    if not value:
        assert available.clear()
    getattr(t[caller], method)(["node_0," + ("b" if caller == "a" else "a")])
    assert available.automate_waiter_task_list == {"node_0,b"}
    assert available.l_t_list == {"node_0,p"}
    settle(runners["p"])
    assert runners["p"].Events_async[AVAILABLE].is_set() is value
    assert AVAILABLE not in runners["r"].Events_async


@pytest.mark.parametrize("arg", [[], ["node_0,b"]], ids=["no key", "linked key"])
@pytest.mark.parametrize("method, owner_set", [("insert_input_tasks", "input_tasks"),
                                               ("insert_incode_input_tasks",
                                                "incode_input_tasks")])
def test_insert_input_refreshes_even_without_a_new_link(graph, method, owner_set, arg):
    runners, t = graph
    a = t["a"]
    getattr(a, method)(["node_0,b"])
    getattr(a, owner_set).add("node_0,d")  # seen only by a refresh
    getattr(a, method)(arg)
    assert S.Events[AVAILABLE].l_t_list == {"node_0,p", "node_0,q"}
    settle(runners["q"])
    assert runners["q"].Events_async[AVAILABLE].is_set()
    getattr(a, owner_set).discard("node_0,d")


@pytest.mark.parametrize("caller, method", [
    ("a", "delete_input_tasks"), ("b", "delete_output_tasks"),
    ("a", "delete_incode_input_tasks"), ("b", "delete_incode_output_tasks"),
    ("c", "insert_input_tasks"), ("a", "insert_output_tasks"),
])
def test_other_methods_leave_the_event_alone(graph, caller, method):
    runners, t = graph
    a = t["a"]
    a.insert_input_tasks(["node_0,b"])
    a.insert_incode_input_tasks(["node_0,b"])
    a.incode_input_tasks.add("node_0,d")  # a refresh would add runner q
    getattr(t[caller], method)(["node_0," + ("b" if caller == "a" else "a")])
    assert S.Events[AVAILABLE].l_t_list == {"node_0,p"}
    settle(*runners.values())
    assert AVAILABLE in runners["p"].Events_async  # removing a link keeps the mirror
    assert AVAILABLE not in runners["q"].Events_async
    a.incode_input_tasks.discard("node_0,d")


@pytest.mark.parametrize("caller, method", [
    ("local", "insert_input_tasks"), ("local", "insert_output_tasks"),
    ("remote", "insert_input_tasks"), ("remote", "insert_output_tasks"),
    ("local", "insert_incode_input_tasks"), ("remote", "insert_incode_input_tasks"),
])
def test_linking_with_a_task_of_another_node(graph, caller, method):
    _, t = graph
    remote = async_task(loop_thread=None, name="b", network_node_name="m")
    ends = {"local": t["a"], "remote": remote}
    other = ends["remote" if caller == "local" else "local"]
    getattr(ends[caller], method)([other.name])
    mine = next(p[2] for p in PAIRS if p[0] == method)
    theirs = next(p[3] for p in PAIRS if p[0] == method)
    assert getattr(ends[caller], mine) == {other.name}
    assert getattr(other, theirs) == {ends[caller].name}
    producer = ends[caller] if mine.endswith("output_tasks") else other
    expected = {"node_0,m,EXTERNAL"} if producer is remote else set()
    assert S.Events[AVAILABLE].l_t_list == expected

    remote.cancel()
    assert "m,b" not in S.Tasks and links(t["a"]) == NO_LINKS
    remote.loop_thread.loop.close()  # never started


def test_cancel_leaves_no_trace(graph, make_runner):
    runners, t = graph
    a = t["a"]
    # A producer on a runner that starts only after the cancel: the mirror
    # update sent by the wiring is still queued there when a is cancelled.
    runners["s"] = make_runner("s", start=False)
    async_task(loop_thread="node_0,s", name="e")

    async def step():
        return asyncio.current_task().get_loop().create_task(asyncio.sleep(3600), name=a.name)

    running = run_on(runners["r"], step())
    a.insert_input_tasks(["node_0,b", "node_0,d"])
    a.insert_output_tasks(["node_0,c", "node_0,b"])
    a.insert_incode_input_tasks(["node_0,c"])
    a.insert_incode_output_tasks(["node_0,d"])
    a.insert_input_tasks(["node_0,e"])
    t["b"].insert_output_tasks(["node_0,d"])
    a.cancel()  # right after the wiring: mirror updates are still on their way
    assert sorted(S.Tasks) == ["node_0,b", "node_0,c", "node_0,d", "node_0,e"]
    assert not [name for name in S.Events if name.startswith("node_0,a,")]
    assert_links_agree()
    assert links(t["b"])["output_tasks"] == {"node_0,d"}
    assert all("node_0,a" not in s for task in S.Tasks.values() for s in links(task).values())
    wait_until(running.done, message="the running step to be cancelled")
    assert running.cancelled()
    runners["s"].start()
    settle(*runners.values())
    for r in runners.values():
        assert not [name for name in r.Events_async if name.startswith("node_0,a,")], r.name

    with pytest.raises(KeyError, match="node_0,a"):
        a.cancel()  # no longer registered


@pytest.mark.parametrize("runner_state", ["running", "closed"])
def test_cancel_after_the_events_were_deleted(graph, make_runner, runner_state, capsys):
    _, t = graph
    target = make_runner("s", start=False) if runner_state == "closed" else None
    a = (async_task(loop_thread="node_0,s", name="e") if target else t["a"])
    a.insert_input_tasks(["node_0,b"])
    a.insert_output_tasks(["node_0,c"])
    if target:
        target.loop.close()
    for name in a.events:
        S.Events[name].delete()
    capsys.readouterr()
    a.cancel()
    assert capsys.readouterr() == ("", "")
    assert a.name not in S.Tasks
    assert all(a.name not in s for task in S.Tasks.values() for s in links(task).values())


def test_concurrent_wiring_of_distinct_pairs(graph):
    runners, t = graph
    pairs = [(async_task(loop_thread="node_0,p", name=f"prod{i}"),
              async_task(loop_thread="node_0,q", name=f"cons{i}")) for i in range(6)]
    start = threading.Barrier(len(pairs))
    errors = []

    def wire(producer, consumer):
        try:
            start.wait()
            for _ in range(40):
                consumer.insert_input_tasks([producer.name])
                producer.insert_incode_output_tasks([consumer.name])
                t["a"].insert_input_tasks([producer.name])  # a shared consumer
                producer.delete_output_tasks([consumer.name, "node_0,a"])
                consumer.delete_incode_input_tasks([producer.name])
            consumer.insert_input_tasks([producer.name])
            producer.insert_output_tasks(["node_0,a"])
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=wire, args=pair) for pair in pairs]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=20)
    assert errors == [] and not any(th.is_alive() for th in threads)
    assert_links_agree()
    assert t["a"].input_tasks == {p.name for p, _ in pairs}
    for producer, consumer in pairs:
        assert producer.output_tasks == {consumer.name, "node_0,a"}
        assert consumer.input_tasks == {producer.name} and not consumer.incode_input_tasks
    assert S.Events[AVAILABLE].l_t_list == {"node_0,p"}


@pytest.mark.parametrize("reuse", ["replace", "stop_then_new"])
def test_items_flow_after_the_producers_runner_key_is_used_again(make_runner, reuse):
    # A producer on runner b feeds cons on runner c; b's key then goes to a
    # new runner, the producer is rebuilt there and wired to cons again.
    # cons's event listed b all along: the new runner must get its mirror.
    got = []
    make_runner("b"), make_runner("c")
    async_task(loop_thread="node_0,c", name="cons", task=lambda i: got.append(i))

    def build_producer():
        def prod(i):
            S.Tasks["node_0,cons"].insert_kwargs_buffer({"i": i}, f"t{i}")
            return f"t{i}"
        async_task(loop_thread="node_0,b", name="p", task=prod)
        S.Tasks["node_0,p"].insert_output_tasks(["node_0,cons"])

    def feed(items):
        for i in items:
            S.Tasks["node_0,p"].insert_kwargs_buffer({"i": i}, f"in{i}")
            S.Tasks["node_0,p"].run(f"in{i}")

    build_producer()
    feed([0])
    wait_until(lambda: got == [0], message="the first item")
    S.Tasks["node_0,p"].cancel()
    if reuse == "stop_then_new":
        old = S.loop_threads["node_0,b"]
        old.stop()
        wait_until(old.loop.is_closed, message="the old runner to close")
    make_runner("b")
    build_producer()
    feed(range(1, 51))
    wait_until(lambda: len(got) == 51, message="every item after the reuse")
    assert sorted(got) == list(range(51))
    assert S.Tasks["node_0,cons"].kwargs_buffer == {}
