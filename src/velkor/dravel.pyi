"""velkor's buffer stage: drains time-stamped frame buffers into one consumer at a paced rate."""
import velkor.velkor
import velkor.velkor_state
# Bound in this order: every public name of the shared-state module, then
# that module and the engine module themselves.
from velkor.velkor_state import *

Velkor_state = velkor.velkor_state
Velkor = velkor.velkor

from typing import Any

from velkor.velkor import buffer

class dravel:
    """A paced drain of time-stamped frame buffers into one consumer task,
    one frame at most per tick of its trigger task. Registered in
    velkor_state.dravel_dict; runs on the node's shared "buffer_router"
    runner."""

    name: str
    """The text of the name given."""
    kwargs: dict[str, Any]
    """Extra keyword arguments of the constructor, kept as given."""
    delay: float
    """Current minimum spacing between two frames taken from one buffer."""
    optimum_delay: float
    """Floor of `delay`."""
    zarib: float
    """Growth factor of `delay` per frame taken."""
    buffers_list: list[buffer]
    """The buffers drained (a copy of the list given)."""
    output_task: str | None
    """Key of the consumer task."""

    def __init__(
        self,
        name: object,
        WT_sleep: float,
        optimum_delay: float,
        zarib: float = 1.01,
        output_task: str | None = None,
        buffers_list: list[buffer] = [],
        **kwargs: Any,
    ) -> None: ...
    def change_output_task(self, task: str) -> None:
        """Make `task` the consumer, unlinking the previous one."""

    def _counters(self) -> dict[str, Any]:
        """{"taken": frames, "skipped": frames, "delay": seconds}, as
        velkor.velkor.stats() reports them."""

    async def run(self) -> None:
        """One tick (called by the engine's main task)."""
