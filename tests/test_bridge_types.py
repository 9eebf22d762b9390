"""The C++ coroutine bridge's Python types: one set for the whole process.

Every extension module links a copy of the bridge (src/pyco). The engine
module velkor.velkor makes the coroutine and coroutine-function types and
publishes them in a capsule, velkor.velkor._pyco_api; the router, the dravel
and the bridge's test module _pyco_test take them from there when they are
imported. asyncio, inspect and the engine therefore see one coroutine type, a
C++ coroutine steps a C++ coroutine of another module directly, and the
bridge's counters (compiled into the test build only) cover every module's
coroutines.

_pyco_test_plain is a copy of the bridge compiled the way a normal build
compiles every module, without the counters. It refuses to join an owner
built with them, an owner of another interface version, and a module that
publishes no types. Both test modules exist in the test build only, installed
at the top level beside the package.
"""
import asyncio
import ctypes
import gc
import importlib.metadata
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import _pyco_test as ct
import _pyco_test_plain as plain
import velkor as package
from velkor import velkor
from velkor.dravel import dravel
from velkor.router import router

CAPSULE = "velkor.velkor._pyco_api"


class Api(ctypes.Structure):
    """The capsule's contents, as src/pyco/api.hpp lays them out."""

    _fields_ = [("version", ctypes.c_uint), ("features", ctypes.c_uint),
                ("coroutine_type", ctypes.c_void_p), ("function_type", ctypes.c_void_p),
                ("stats", ctypes.c_void_p)]


_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def owner_api():
    """A copy of what the engine module's capsule holds."""
    return Api.from_address(_capsule_pointer(velkor._pyco_api, CAPSULE.encode()))


def live():
    """(C++ frames alive, coroutine objects alive) in the process."""
    s = ct.stats()
    return s["frames_live"], s["objects_live"]


@pytest.fixture
def fake_owner(monkeypatch):
    """fake_owner(version, features, name=None): a module `fake_owner` whose
    _pyco_api capsule holds an Api without types (named "<name>._pyco_api",
    by default the module's own name). The capsule's memory stays alive for
    the test."""
    keep = []

    def make(version, features, name="fake_owner"):
        api = Api(version, features, None, None, None)
        label = ctypes.create_string_buffer(f"{name}._pyco_api".encode())
        keep.extend((api, label))
        module = types.ModuleType("fake_owner")
        module._pyco_api = _capsule_new(ctypes.addressof(api), label, None)
        monkeypatch.setitem(sys.modules, "fake_owner", module)
        return "fake_owner"

    yield make


class TestOneSetOfTypes:
    def test_every_module_makes_objects_of_the_same_two_types(self):
        functions = (velkor.waiter, velkor.trig_output, velkor.async_task.temp_func,
                     router.run, dravel.run, ct.trivial, ct.Worker.work)
        assert {type(f) for f in functions} == {ct.cxx_coroutine_function}
        coroutines = (velkor.waiter({}), ct.trivial())
        try:
            assert {type(c) for c in coroutines} == {ct.cxx_coroutine}
            assert all(asyncio.iscoroutine(c) for c in coroutines)
        finally:
            for c in coroutines:
                c.close()
        # asyncio remembers the coroutine types it has seen: ours once
        cached = [t for t in asyncio.coroutines._iscoroutine_typecache
                  if t.__name__ == "cxx_coroutine"]
        assert cached == [ct.cxx_coroutine]
        # named by the owner
        assert (repr(ct.cxx_coroutine), repr(ct.cxx_coroutine_function)) == (
            "<class 'velkor.cxx_coroutine'>", "<class 'velkor.cxx_coroutine_function'>")

    def test_the_owner_publishes_them_and_only_the_owner(self):
        assert _capsule_name(velkor._pyco_api).decode() == CAPSULE
        api = owner_api()
        assert (api.coroutine_type, api.function_type) == (
            id(ct.cxx_coroutine), id(ct.cxx_coroutine_function))
        assert api.stats  # the test build counts
        for module in (sys.modules["velkor.router"], sys.modules["velkor.dravel"], ct):
            assert not hasattr(module, "_pyco_api"), module

    def test_the_counters_cover_every_modules_coroutines(self):
        gc.collect()
        frames, objects = live()
        c = velkor.waiter({})  # the engine's copy of the bridge makes it
        assert live() == (frames + 1, objects + 1)
        c.close()  # never started: the frame goes, the object stays
        assert live() == (frames, objects + 1)
        del c
        assert live() == (frames, objects)

    def test_a_coroutine_of_another_module_is_stepped_directly(self):
        """The test module's coroutine awaits the engine's: once it is
        suspended in it, each step goes from one driver to the other without
        the coroutine type's am_send slot."""

        async def main():
            ev = asyncio.Event()
            inner = velkor.waiter({"k": ev})
            outer = ct.await_it(inner)
            fut = outer.send(None)
            assert outer.cr_await is inner and inner.cr_suspended
            ev.set()
            for _ in range(100):
                if fut.done():
                    break
                await asyncio.sleep(0)
            assert fut.done()
            ct.reset_stats()
            with pytest.raises(StopIteration) as ei:
                outer.send(None)
            assert ei.value.value == ["k"]
            s = ct.stats()
            assert (s["send"], s["am_send"], s["iternext"]) == (1, 0, 0)

        asyncio.run(main())

    def test_the_test_module_imported_first_imports_the_owner(self):
        code = textwrap.dedent("""
            import asyncio, sys
            import _pyco_test as ct
            assert "velkor.velkor" in sys.modules
            from velkor import velkor
            from velkor.router import router
            assert type(ct.trivial) is type(router.run) is type(velkor.waiter)
            print(asyncio.run(ct.add(1, 2)))
        """)
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "3\n", "")


class TestBuildSwitch:
    def test_counters_only_in_copies_built_with_them(self):
        assert ct.features() == ("stats",)
        assert all(hasattr(ct, n) for n in ("stats", "reset_stats", "trace_attrs"))
        assert owner_api().features == 1
        assert plain.features() == ()
        assert not any(hasattr(plain, n) for n in ("stats", "reset_stats", "trace_attrs"))

    def test_a_copy_refuses_an_owner_built_otherwise(self):
        with pytest.raises(ImportError, match=r"^the coroutine bridge of velkor\.velkor was "
                           r"built with counters \(PYCO_STATS\), this module's without"):
            plain.join("velkor.velkor")

    def test_a_copy_refuses_another_interface_version(self, fake_owner):
        version = owner_api().version
        with pytest.raises(ImportError, match=rf"^the coroutine bridge of fake_owner has "
                           rf"interface version {version + 1}, this module's {version}:"):
            plain.join(fake_owner(version + 1, 0))
        with pytest.raises(ImportError, match=r"built with counters .*, this module's without"):
            plain.join(fake_owner(version, 1))
        with pytest.raises(ImportError, match=r"^the capsule fake_owner\._pyco_api names no types"):
            plain.join(fake_owner(version, 0))

    def test_a_copy_refuses_a_module_without_the_capsule(self, fake_owner):
        with pytest.raises(ImportError, match=r"^json does not export the coroutine bridge's "
                           r"types \(no capsule json\._pyco_api\)"):
            plain.join("json")
        # a capsule of another name is not the bridge's
        with pytest.raises(ImportError, match=r"^fake_owner does not export"):
            plain.join(fake_owner(owner_api().version, 0, name="other"))
        with pytest.raises(ModuleNotFoundError):
            plain.join("no_such_module_of_velkor")

    def test_the_test_modules_sit_beside_the_package_not_in_it(self):
        """The test build installs them at the top level; the package holds
        its own modules only."""
        package_dir = Path(package.__file__).resolve().parent
        recorded = {str(f) for f in importlib.metadata.files("velkor")}
        for module in (ct, plain):
            path = Path(module.__file__).resolve()
            assert path.parent == package_dir.parent, path
            assert path.name in recorded, path.name
        inside = {p.name.partition(".")[0] for p in package_dir.iterdir() if p.suffix == ".so"}
        assert inside == {"velkor", "router", "dravel"}
