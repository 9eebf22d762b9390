"""Process-wide registries of velkor, shared by its engine, dravel and router modules."""
import bisect as bisect
import random as random
from typing import Any

from velkor.velkor import Real_tasks as Real_tasks
from velkor.velkor import async_task as async_task
from velkor.velkor import custom_event as custom_event
from velkor.velkor import event_config as event_config
from velkor.velkor import net_node
from velkor.velkor import trig_output as trig_output
from velkor.velkor import waiter as waiter

Tasks: dict[str, async_task]
"""Task key to task."""
loop_threads: dict[str, Real_tasks]
"""Loop-thread key to runner."""
Events: dict[str, custom_event]
"""Full event name to event."""
dravel_dict: dict[str, Any]
"""Dravel name to dravel."""
router_dict: dict[str, Any]
"""Router name to router."""
network_node: net_node
"""The local node; its name prefixes every key."""
