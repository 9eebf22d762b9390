"""velkor: a small, fast in-process dataflow task engine with a C++ core.

Importing the package loads the engine module ``velkor.velkor``, fills the shared
state module ``velkor.velkor_state`` (the local node and the engine's callables),
and makes the capitalised paths ``Velkor.Velkor_state`` and ``Velkor.Velkor``
name the very same module objects. Importing starts no thread and creates no
event loop.
"""
import sys as _sys

from . import velkor_state

try:
    from . import velkor
except ImportError as _error:
    # nanobind reports any failure of a module's init as a generic ImportError
    # raised from the real one. A library the engine cannot import fails the
    # import with that library's own error, as a Python module would.
    if isinstance(_error.__cause__, ImportError):
        raise _error.__cause__ from None
    raise

# The capitalised package paths name the same module objects.
Velkor_state = velkor_state
Velkor = velkor
_sys.modules.setdefault("Velkor", _sys.modules[__name__])
_sys.modules.setdefault("Velkor.Velkor_state", velkor_state)
_sys.modules.setdefault("Velkor.Velkor", velkor)

velkor_state.network_node = velkor.net_node()
for _name in ("Real_tasks", "async_task", "custom_event", "trig_output", "waiter", "event_config"):
    if hasattr(velkor, _name):
        setattr(velkor_state, _name, getattr(velkor, _name))
del _name
