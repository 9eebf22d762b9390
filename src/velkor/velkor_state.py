"""Process-wide registries of velkor, shared by its engine, dravel and router modules.

The modules read these attributes at every use and change the tables they hold;
the tables keep their identity for the life of the process. The package fills in
``network_node`` (the local ``net_node``) and the engine's classes and coroutine
functions when it is imported, before anything can be constructed.
"""
import bisect
import random

Tasks = {}
loop_threads = {}
Events = {}
dravel_dict = {}
router_dict = {}
