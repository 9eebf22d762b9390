"""pyco::deepcopy (as _pyco_test.deepcopy, in the bridge's test module)
against copy.deepcopy: the same types, values and identity pattern (which
positions share one object, which hold the original itself), and the same memo
at the end and whenever a __deepcopy__ method sees it."""
import copy
import gc
import sys
from collections import defaultdict

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _pyco_test import deepcopy as dc


class MyList(list): pass
class MyDict(dict): pass
class MyTuple(tuple): pass
class MyStr(str): pass
class MyInt(int): pass
class Stop(BaseException): pass


class Obj:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Custom(Obj):
    def __deepcopy__(self, memo):  # memoizes itself first, as a cycle-safe one must
        new = memo[id(self)] = Custom()
        new.__dict__.update(copy.deepcopy(vars(self), memo))
        return new


class Hook(Obj):
    def __deepcopy__(self, memo):
        return self.fn()


def raising(exc_type):
    def fn():
        raise exc_type("boom")
    return Hook(fn=fn)


def memo_view(memo, known):
    """The memo's keys in order with what each maps to, and the keep-alive
    list; ids of temporaries (of __reduce_ex__) as their order of appearance."""
    tmp = {}
    name = lambda i: i if i in known else tmp.setdefault(i, f"tmp{len(tmp)}")
    return [("KEEP", [name(id(o)) for o in v]) if k == id(memo)
            else (name(k), type(v).__name__, len(v) if hasattr(v, "__len__") else None)
            for k, v in memo.items()]


class Spy:
    """Records what the memo holds when copy.deepcopy hands it over."""
    log, known = [], set()

    def __deepcopy__(self, memo):
        Spy.log.append(memo_view(memo, Spy.known))
        return Spy()


def parts(x):
    """What copying x copies (a Spy copies no state)."""
    if isinstance(x, dict):
        return [p for item in x.items() for p in item]
    own = [] if isinstance(x, Spy) or not hasattr(x, "__dict__") else [vars(x)]
    return (list(x) if isinstance(x, (list, tuple)) else []) + own


def reachable(x):
    """Every non-atomic object of x."""
    seen, todo = {}, [x]
    while todo:
        o = todo.pop()
        if id(o) not in seen and type(o) not in (int, float, str, bytes, bool, type(None)):
            seen[id(o)] = o
            todo += parts(o)
    return list(seen.values())


UNKNOWN = object()


class Twin:
    """Walks our copy and the reference copy in parallel, and the original as
    long as the copies have its shape (in cycles through a reconstructed
    object's state copy.deepcopy leaves partial copies behind)."""
    def __init__(self, x):
        self.fwd, self.back = {}, {}
        self.mutable = {id(o) for o in reachable(x)
                        if isinstance(o, (list, dict, set)) or hasattr(o, "__dict__")}

    def check(self, o, a, b):
        assert type(a) is type(b)
        if id(a) in self.fwd or id(b) in self.back:  # seen: must pair the same way
            assert self.fwd.get(id(a)) == id(b) and self.back.get(id(b)) == id(a)
            return
        self.fwd[id(a)], self.back[id(b)] = id(b), id(a)
        assert id(a) not in self.mutable and id(b) not in self.mutable
        if o is not UNKNOWN:
            assert (a is o) == (b is o), f"{a!r}: the original in one copy only"
            if a is o:
                return
        pa, pb = parts(a), parts(b)
        assert len(pa) == len(pb)
        po = parts(o) if type(o) is type(a) else []
        for oi, ai, bi in zip(po if len(po) == len(pa) else [UNKNOWN] * len(pa), pa, pb):
            self.check(oi, ai, bi)
        if isinstance(a, (set, frozenset)):
            assert {id(e) for e in a} == {id(e) for e in b}
        elif isinstance(a, (str, int, complex)):  # subclasses: new objects
            assert a == b
        assert getattr(a, "default_factory", 0) is getattr(b, "default_factory", 0)


def assert_same(x, memo_factory=None):
    """Copy x both ways (each with a fresh caller memo if memo_factory) and
    compare the copies or exceptions, the Spy logs and the memos."""
    out, Spy.known = [], {id(o) for o in reachable(x)}
    for fn in (dc, copy.deepcopy):
        Spy.log, memo = [], memo_factory() if memo_factory else None
        try:
            out.append((fn(x, memo), memo, Spy.log))
        except Exception as e:
            out.append((e, memo, Spy.log))
    (a, ma, la), (b, mb, lb) = out
    assert la == lb
    if ma is not None:
        assert memo_view(ma, Spy.known) == memo_view(mb, Spy.known)
    if isinstance(b, Exception):
        assert type(a) is type(b)
        assert str(a) == str(b) or isinstance(b, RecursionError)
        return
    twin = Twin(x)
    twin.check(x, a, b)
    if ma is not None:  # the memos' copies pair up with the results'
        orig = {id(o): o for o in ma.get(id(ma), [])}
        for (k, va), (_, vb) in zip(ma.items(), mb.items()):
            if k != id(ma):
                twin.check(orig.get(k, va), va, vb)


# Nested containers over atomic leaves and over objects that copy.deepcopy
# copies itself; then links from mutable containers to objects already built,
# so that objects are shared and cycles appear.
atoms = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(),
                  st.text(max_size=4), st.binary(max_size=3))
keys = st.one_of(atoms, st.tuples(atoms, atoms), st.frozensets(st.integers(0, 9), max_size=3),
                 st.builds(Obj))
leaves = st.one_of(atoms, atoms, st.integers().map(MyInt), st.text(max_size=3).map(MyStr),
                   st.complex_numbers(max_magnitude=9), st.builds(Spy),
                   st.sets(st.integers(0, 9), max_size=3))


def extend(kids):
    small, named = st.lists(kids, max_size=4), st.dictionaries(st.text(max_size=2), kids, max_size=3)
    return st.one_of(
        small, small.map(tuple), st.dictionaries(keys, kids, max_size=4), small.map(MyList),
        small.map(MyTuple), small.map(lambda v: defaultdict(list, enumerate(v))),
        named.map(MyDict), named.map(lambda d: Obj(**d)), named.map(lambda d: Custom(**d)))


@st.composite
def graphs(draw):
    root = draw(st.recursive(leaves, extend, max_leaves=20))
    objs = reachable(root)
    targets = [o for o in objs if isinstance(o, (list, dict, Obj))]
    for i in range(draw(st.integers(0, 5)) if targets else 0):
        tgt, src = draw(st.sampled_from(targets)), draw(st.sampled_from(objs))
        if isinstance(tgt, list):
            tgt.insert(draw(st.integers(0, len(tgt))), src)
        else:
            (tgt if isinstance(tgt, dict) else vars(tgt))[f"link{i}"] = src
    return root


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(graphs(), st.booleans())
def test_generated_values_copy_like_copy_deepcopy(x, caller_memo):
    assert_same(x, dict if caller_memo else None)


def _cases():
    shared = [1, "s"]
    selfref = [1]; selfref.append(selfref)
    selfdict = {"k": 1}; selfdict["me"] = selfdict
    via_tuple = []; t = (via_tuple, 2); via_tuple.append(t)
    return {
        "atomic top": 12345678901234567890, "flat": {"a": 1, "b": [1, 2, 3], "c": {"x": "y"}},
        "atomic tuple is itself": (1, "a", (2.5, None, b"x")), "empty": [[], {}, ()],
        "shared": [shared, (shared,), {"x": shared}], "list cycle": selfref, "dict cycle": selfdict,
        "cycle through a tuple": (t, via_tuple), "keys copied": {frozenset({1}): shared, (1, 2): [3]},
        "fallback after plain": {"p": shared, "o": Obj(v=shared)},
        "plain after fallback": {"o": Obj(v=shared), "p": shared},
        "memo seen by fallbacks": [shared, [2], Spy(), {"d": shared, "s": Spy()}, (shared, Spy())],
        "subclasses": [MyList([shared]), MyDict(a=shared), MyStr("x"), MyInt(3), {1, 2}, 1j]}


@pytest.mark.parametrize("name", list(_cases()))
def test_named_cases(name):
    assert_same(_cases()[name])
    assert_same(_cases()[name], dict)


def test_caller_memo_is_read_and_filled():
    shared = [1, 2]

    def used_before():  # holds copies and a keep-alive list already
        memo = {}
        copy.deepcopy([shared, (shared,)], memo)
        return memo

    for make in (lambda: {id(shared): "S", id(5): "five"}, dict, used_before):
        assert_same([shared, 5, (shared,), {"k": shared}], make)
    x = [shared]
    assert dc(x, {id(x): "X"}) == "X"
    assert dc(x, memo=None) == x

    class LoggingMemo(dict):  # a mapping that is not a plain dict is used as such
        def get(self, key, default=None):
            self.log.append(memo_view(self, {id(shared)}))
            return super().get(key, default)

    memos = [LoggingMemo(), LoggingMemo()]
    for memo, fn in zip(memos, (dc, copy.deepcopy)):
        memo.log = []
        fn([shared, Obj(v=shared)], memo)
    assert memos[0].log and memos[0].log == memos[1].log


def test_original_changed_by_a_fallback_during_the_copy():
    def mutating(kind):
        d, lst = {"a": 1}, [1]
        action = {"grow dict": lambda: d.update(new=1),
                  "swap a later key": lambda: (d.pop("z"), d.update(w=2)),
                  "swap an earlier key": lambda: (d.pop("a"), d.update(w=2)),
                  "append to list": lambda: lst.append([2]), "shrink list": lambda: lst.pop()}[kind]
        d.update(m=Hook(fn=lambda: (action(), "M")[1]), z=[3])
        lst += [d["m"], [4]]
        return lst if "list" in kind else d

    def outcome(fn, x):
        try:
            return repr(fn(x))
        except RuntimeError as e:  # changed size / keys during iteration
            return repr(e)

    for kind in ("grow dict", "swap an earlier key", "swap a later key", "append to list",
                 "shrink list"):
        assert outcome(dc, mutating(kind)) == outcome(copy.deepcopy, mutating(kind)), kind


def test_failing_copy_raises_its_exception():
    boom = raising(ValueError)
    for value in ([1, [2, boom]], {"a": [1], "b": boom}, {(1, boom): 2}, ([1], (2, boom)),
                  [Obj(x=1), [boom]], {"s": Spy(), "b": [boom]}):
        with pytest.raises(ValueError, match="boom"):
            dc(value)
        assert_same(value, dict)  # the same error, the memo left the same
    with pytest.raises(Stop):  # not only Exceptions
        dc([{"k": (raising(Stop),)}])


def _nested(kind, depth, x=None):
    wrap = {"dict": lambda x: {"k": x}, "tuple": lambda x: (x,), "list": lambda x: [x],
            "with fallbacks": lambda x: [MyList([x])]}[kind]
    for _ in range(depth):
        x = wrap(x)
    return x


def test_deep_nesting_raises_recursion_error():
    for kind in ["list", "dict", "tuple", "with fallbacks"]:
        with pytest.raises(RecursionError):
            dc(_nested(kind, 100_000))
        assert dc(_nested(kind, 50)) == _nested(kind, 50), kind


def test_no_reference_leaks():
    leaf, num = "leaf-" + str(id(object())), float(sys.maxsize)
    shared = [leaf, num]
    cyc = [shared]; cyc.append(cyc)
    plain = {"c": cyc, "t": (shared, leaf), leaf: [shared, (1, num)]}
    mixed = {"p": plain, "o": Obj(v=shared), "s": {leaf}, "c": Custom(v=[shared])}
    mid = _nested("list", 15_000, leaf)
    bad, deep = [shared, {"x": raising(ValueError)}], _nested("dict", 5_000, mid)
    watched = [leaf, num, shared, cyc, plain, mixed, bad, mid, deep, Obj, Custom]

    def run(n):
        for _ in range(n):
            dc(plain)
        for _ in range(n // 20):
            dc(mixed)
            dc(plain, {})
            pytest.raises(ValueError, dc, bad)
        for _ in range(n // 5000):
            pytest.raises(RecursionError, dc, deep)

    run(5_000)
    gc.collect()
    refs, objects = [sys.getrefcount(o) for o in watched], len(gc.get_objects())
    run(100_000)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert len(gc.get_objects()) - objects < 100
