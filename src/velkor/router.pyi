"""velkor's router stage: hands each item to exactly one ready local consumer."""
import velkor.velkor
import velkor.velkor_state
# Bound in this order: every public name of the shared-state module, then
# that module and the engine module themselves.
from velkor.velkor_state import *

Velkor_state = velkor.velkor_state
Velkor = velkor.velkor

from typing import Any
from collections.abc import Iterable

class router:
    """A dispatch stage: each item that reaches its engine task
    "router_<name>" goes to exactly one ready consumer of this node among
    output_tasks. Registered in velkor_state.router_dict; runs on the node's
    shared "buffer_router" runner."""

    name: str
    """"router_" followed by the name given; also the engine task's name."""
    output_tasks: set[str]
    """Keys of the consumer tasks."""

    def __init__(self, name: object, output_tasks: Iterable[str] = []) -> None: ...
    def insert_output_tasks(self, tasks: Iterable[str]) -> None:
        """Add consumers; each counts the router among its in-code inputs."""

    def delete_output_tasks(self, tasks: Iterable[str]) -> None:
        """Remove consumers; keys that are not consumers are passed over."""

    def _counters(self) -> dict[str, Any]:
        """{"dispatched": {consumer key: items}, "dropped": items}, as
        velkor.velkor.stats() reports them."""

    async def run(self, **kwargs: Any) -> None:
        """Hand one item (the keyword arguments) to the first ready local
        consumer (called by the engine task)."""
