"""The network node under load and against faulty clients.

Hundreds of clients connected at once, each sending a 1 MiB message; clients
that reset their connection half-way through a message; connections that come
and go without a byte, before or after the server has accepted them. After
every scenario the server still serves and the process's open descriptors
(the entries of /proc/self/fd) are back where they were.

The server runs as server_task on a started runner's loop, as an application
runs it; unless a test says otherwise the clients are plain blocking sockets,
each on a thread of its own. The server's reads are observed through the
reader handed to the node's own handle_client: every chunk it reads is
counted and hashed per connection, and connections are matched with their
clients by the client's port.
"""
import asyncio
import collections
import gc
import hashlib
import os
import random
import resource
import socket
import struct
import threading
import traceback
import weakref

import pytest

from velkor import velkor as V

from helpers import LOOPBACK, run_on, settle, wait_until

# no_leaks (conftest): no unclosed socket, transport or stream writer, and no
# never-awaited coroutine, is left behind by a test.
pytestmark = [pytest.mark.timeout(120), pytest.mark.usefixtures("no_leaks")]

MIB = 1 << 20
CHUNK = 1024
BASE = random.Random(20240611).randbytes(MIB)
T = 30.0  # bound for any one wait; a hang fails the test instead of blocking it
LINGER_0 = struct.pack("ii", 1, 0)
CONNECTING = 50  # clients between connect() and the server's accept at once
CB_FAILED = "Unhandled exception in client_connected_cb"


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def message(i, size=MIB):
    """Client i's message: BASE turned by an offset of its own (so no two
    clients send the same bytes), cut to `size`. A list of memoryviews: no
    copy of the megabyte is made."""
    k = (i * 7919 + 1) % MIB
    parts, left = [], size
    for view in (memoryview(BASE)[k:], memoryview(BASE)[:k]):
        parts.append(view[:left])
        left -= len(parts[-1])
    return parts


def digest(parts, limit=None):
    h = hashlib.sha256()
    left = sum(map(len, parts)) if limit is None else limit
    for p in parts:
        h.update(p[:left])
        left -= min(left, len(p))
    return h.hexdigest()


# --------------------------------------------------------------------------
# the observed server

# test_net_node.py observes a connection event by event (its SpyNode); under
# load that record would grow with every chunk of a megabyte, so here the
# reads of a connection are counted and hashed instead.
class Conn:
    """What the server did with one connection."""

    def __init__(self, port):
        self.port = port  # the client's port
        self.received = 0
        self.reads = 0
        self.sizes_asked = set()
        self.biggest = 0
        self.hash = hashlib.sha256()
        self.outcome = None  # "ok", or the type of the exception handle_client raised
        self.closed = None  # whether the writer was closed when handle_client ended
        self.writer = None  # weak reference to the connection's stream writer


class CountingReader:
    def __init__(self, reader, conn):
        self._reader, self._conn = reader, conn

    async def read(self, n=-1):
        data = await self._reader.read(n)
        c = self._conn
        c.reads += 1
        c.sizes_asked.add(n)
        c.received += len(data)
        c.biggest = max(c.biggest, len(data))
        c.hash.update(data)
        return data


class LoadNode(V.net_node):
    """A node whose connections are drained by the node's own handle_client,
    through a reader that counts and hashes what is read."""

    def __init__(self):
        super().__init__()
        self.conns = []
        self.by_port = {}
        self.live = 0
        self.peak = 0
        self.accepted = threading.Condition()  # notified as each connection starts

    async def handle_client(self, reader, writer):
        peer = writer.get_extra_info("peername")
        conn = Conn(peer[1] if peer else None)
        conn.writer = weakref.ref(writer)
        with self.accepted:
            self.conns.append(conn)
            if conn.port is not None:
                self.by_port[conn.port] = conn
            self.accepted.notify_all()
        self.live += 1
        self.peak = max(self.peak, self.live)
        try:
            await super().handle_client(CountingReader(reader, conn), writer)
        except BaseException as exc:
            conn.outcome = type(exc)
            raise
        else:
            conn.outcome = "ok"
        finally:
            conn.closed = writer.is_closing()
            self.live -= 1

    def finished(self):
        return [c for c in self.conns if c.outcome is not None]


class Served:
    """A LoadNode serving on a runner's loop. `reports` collects what the
    loop's exception handler receives, as (message, exception type)."""

    def __init__(self, runner, own_handler=True):
        self.runner = runner
        self.node = LoadNode()
        self.node.port = 0
        self.connecting = threading.BoundedSemaphore(CONNECTING)
        self.reports = []
        self.ended = threading.Event()
        if own_handler:
            async def install():
                asyncio.get_running_loop().set_exception_handler(
                    lambda loop, ctx: self.reports.append(
                        (ctx.get("message"), type(ctx.get("exception")))))
            run_on(runner, install())

        async def serve():
            try:
                await self.node.server_task()
            finally:
                self.ended.set()

        async def listen_once():
            # uvloop's loop (libuv) keeps one spare descriptor open from its
            # first listening socket on, for its whole life (for running out
            # of descriptors): let it take that before counting.
            server = await asyncio.start_server(lambda r, w: w.close(), LOOPBACK, 0)
            server.close()
            await server.wait_closed()

        run_on(runner, listen_once())
        self.fds_idle = open_fds()  # before the server listens
        self.future = asyncio.run_coroutine_threadsafe(serve(), runner.loop)
        wait_until(lambda: hasattr(self.node, "server") or self.future.done(),
                   message="the server to listen")
        if self.future.done():
            self.future.result()
        self.port = self.node.server.sockets[0].getsockname()[1]

    def flush(self):
        """Let the server's loop run everything it has queued so far (done
        callbacks that report a failed handler come right after it)."""
        for _ in range(3):
            settle(self.runner)

    def stop(self):
        if self.ended.is_set():
            return
        self.future.cancel()
        if not self.ended.wait(T):
            # Closing the server waits for its connections; a test that failed
            # half-way may have left one open.
            self.runner.loop.call_soon_threadsafe(self.node.server.abort_clients)
            self.ended.wait(T)


@pytest.fixture
def serve(make_runner):
    started = []

    def start(own_handler=True):
        served = Served(make_runner("net"), own_handler)
        started.append(served)
        return served

    yield start
    for served in started:
        served.stop()


@pytest.fixture
def fd_room():
    """Room for `n` more descriptors: the soft limit is raised (up to the
    hard one) if it is too low, and put back afterwards."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)

    def need(n):
        want = open_fds() + n + 64
        if soft != resource.RLIM_INFINITY and soft < want:
            if hard != resource.RLIM_INFINITY and hard < want:
                pytest.skip(f"needs {want} open files, hard limit is {hard}")
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))

    yield need
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


# --------------------------------------------------------------------------
# clients

class Crew:
    """Client threads. A failure in one is recorded and breaks the barriers,
    so that the others stop waiting for it. Used as a context manager by the
    test's own thread: a failure there abandons the crew (barriers broken,
    `go` set with `abandoned` true) so that no client keeps a connection open
    for long after the test has failed."""

    def __init__(self, *barriers):
        self.barriers = barriers
        self.errors = []
        self.threads = []
        self.go = threading.Event()
        self.abandoned = False

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if kind is not None:
            self.abandoned = True
            for b in self.barriers:
                b.abort()
            self.go.set()

    def start(self, target, *args):
        def body():
            try:
                target(*args)
            except BaseException:
                self.errors.append(traceback.format_exc())
                for b in self.barriers:
                    b.abort()

        t = threading.Thread(target=body, name=f"net client {len(self.threads)}", daemon=True)
        self.threads.append(t)
        t.start()

    def join(self):
        for t in self.threads:
            t.join(T)
        assert not [t.name for t in self.threads if t.is_alive()], "client threads hang"
        assert self.errors == [], self.errors[0]


def connect(served):
    """Connect to the server and wait until it has accepted the connection
    (its handler runs). At most CONNECTING clients are between the two at
    once: the server listens with a backlog of 100, and a burst of connects
    beyond it leaves clients whose handshake the kernel completed with a SYN
    cookie while the accept queue was full; the server learns of such a
    connection only when the client sends something, so one that stays
    silent (or resets) would never reach it."""
    with served.connecting:
        sock = socket.create_connection((LOOPBACK, served.port), timeout=T)
        try:
            port = sock.getsockname()[1]
            with served.node.accepted:
                assert served.node.accepted.wait_for(lambda: port in served.node.by_port, T), \
                    "the server never accepted the connection"
        except BaseException:
            sock.close()
            raise
    return sock, port


def send_parts(sock, parts):
    for p in parts:
        sock.sendall(p)


def reset(sock):
    """Close with a zero linger time: the peer gets a reset, not an end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_0)
    sock.close()


# --------------------------------------------------------------------------
# checks shared by the scenarios

def assert_read_in_chunks(conn):
    assert conn.sizes_asked == {CHUNK}
    assert conn.biggest <= CHUNK


def assert_intact(served, expected):
    """Every port in `expected` ({port: (length, digest)}) was drained to the
    end, byte for byte, by a handler that ended normally."""
    got = {}
    for port in expected:
        conn = served.node.by_port[port]
        assert conn.outcome == "ok"
        assert_read_in_chunks(conn)
        assert conn.reads >= -(-conn.received // CHUNK) + 1  # the last read is the end
        got[port] = (conn.received, conn.hash.hexdigest())
    assert got == expected


def assert_still_serving(served):
    """A new client's message, sent with the node's own client, arrives whole."""
    payload = message(4242, 100_000)
    sent = b"".join(payload)
    before = {c.port for c in served.node.conns}
    assert served.node.server.is_serving()
    assert asyncio.run(asyncio.wait_for(V.net_node().client_task(LOOPBACK, served.port, sent), T)) is None
    wait_until(lambda: [c for c in served.node.conns if c.port not in before and c.outcome],
               timeout=T, message="the next client to be served")
    [conn] = [c for c in served.node.conns if c.port not in before]
    assert (conn.outcome, conn.received, conn.hash.hexdigest()) == ("ok", len(sent), digest(payload))


def assert_back_to(fds, served, writers=True):
    """Descriptors back to `fds` once the server has closed its side, and
    (with `writers`) no stream writer of the node's connections left alive."""
    assert [c.port for c in served.node.conns if not c.closed] == []
    wait_until(lambda: open_fds() == fds, timeout=T,
               message=f"descriptors to return to {fds} (now {open_fds()})")
    if not writers:
        return

    def released():
        gc.collect()
        return all(c.writer() is None for c in served.node.conns)

    wait_until(released, timeout=T, message="the connections' writers to be released")


# --------------------------------------------------------------------------
# load

def test_500_clients_at_once_each_deliver_a_mib_intact(serve, fd_room, capfd):
    n = 500
    fd_room(2 * n)
    served = serve()
    fds = open_fds()
    connected = threading.Barrier(n + 1, timeout=T)
    sent_all = threading.Barrier(n, timeout=T)
    expected = {}
    crew = Crew(connected, sent_all)

    def client(i):
        sock, port = connect(served)
        with sock:
            connected.wait()
            assert crew.go.wait(T) and not crew.abandoned
            parts = message(i)
            send_parts(sock, parts)
            expected[port] = (MIB, digest(parts))
            # Nobody ends a message before every message has been sent.
            sent_all.wait()

    with crew:
        for i in range(n):
            crew.start(client, i)
        connected.wait()
        # Every connection has its handler running on the server before a
        # single byte is sent.
        wait_until(lambda: served.node.live == n, timeout=T,
                   message=f"{n} handlers at once (have {served.node.live})")
        crew.go.set()
        crew.join()
    wait_until(lambda: len(served.node.finished()) == n, timeout=T,
               message="every connection to be drained")
    assert served.node.peak == n
    assert len(expected) == n and len(served.node.conns) == n
    assert_intact(served, expected)
    served.flush()
    assert served.reports == []

    assert_still_serving(served)
    assert_back_to(fds, served)
    assert capfd.readouterr() == ("", "")


def test_the_node_client_at_load_against_the_node_server(serve, fd_room, capfd):
    """300 client_task calls at once on a loop of their own, each with a
    message of its own, against the node's server on the runner."""
    n, size = 300, 64 * 1024
    fd_room(2 * n)
    served = serve()
    fds = open_fds()
    payloads = [message(i, size) for i in range(n)]
    blobs = [b"".join(p) for p in payloads]

    async def clients():
        client = V.net_node()
        return await asyncio.wait_for(
            asyncio.gather(*(client.client_task(LOOPBACK, served.port, b) for b in blobs)), T)

    assert asyncio.run(clients()) == [None] * n
    wait_until(lambda: len(served.node.finished()) == n, timeout=T,
               message="every connection to be drained")
    want = collections.Counter((size, digest(p)) for p in payloads)
    conns = served.node.conns
    assert all(c.outcome == "ok" for c in conns)
    for c in conns:
        assert_read_in_chunks(c)
    assert collections.Counter((c.received, c.hash.hexdigest()) for c in conns) == want
    served.flush()
    assert served.reports == []
    assert_back_to(fds, served)
    assert capfd.readouterr() == ("", "")


# --------------------------------------------------------------------------
# faults

def test_resets_mid_message_are_reported_and_the_server_goes_on(serve, fd_room, capfd):
    """100 clients reset their connection part-way through a message, once
    the server has begun to read it, while 100 others send 256 KiB each."""
    resets, good, size = 100, 100, 256 * 1024
    fd_room(2 * (resets + good))
    served = serve()
    fds = open_fds()
    connected = threading.Barrier(resets + good + 1, timeout=T)
    parts_of, expected = {}, {}
    crew = Crew(connected)

    def resetting(i):
        sock, port = connect(served)
        try:
            connected.wait()
            parts = message(i, 64 * 1024 + (i * 6007) % (640 * 1024))  # never the whole message
            parts_of[port] = parts
            send_parts(sock, parts)
            wait_until(lambda: port in served.node.by_port and served.node.by_port[port].received,
                       timeout=T, message="the server to be reading")
        finally:
            reset(sock)

    def sending(i):
        sock, port = connect(served)
        with sock:
            connected.wait()
            parts = message(i, size)
            send_parts(sock, parts)
            expected[port] = (size, digest(parts))

    with crew:
        for i in range(resets + good):
            crew.start(resetting if i % 2 else sending, i)
        connected.wait()
        crew.join()
    wait_until(lambda: len(served.node.finished()) == resets + good, timeout=T,
               message="every connection to end")

    assert_intact(served, expected)
    assert len(parts_of) == resets
    for port, parts in parts_of.items():
        conn = served.node.by_port[port]
        # The handler raised the reset out of its callback after reading a
        # prefix of what was sent: nothing lost before the reset, nothing
        # made up.
        assert conn.outcome is ConnectionResetError
        assert_read_in_chunks(conn)
        assert 0 < conn.received <= sum(map(len, parts))
        assert conn.hash.hexdigest() == digest(parts, conn.received)

    # The loop reports each failed handler once, and nothing is printed.
    wait_until(lambda: len(served.reports) >= resets, timeout=T, message="the reports")
    served.flush()
    assert served.reports == [(CB_FAILED, ConnectionResetError)] * resets

    assert_still_serving(served)
    assert_back_to(fds, served)
    assert capfd.readouterr() == ("", "")


def test_a_reset_reaches_the_loops_default_handler_and_nothing_is_printed(serve, capfd, caplog):
    """Without a handler of the application's own, each reset becomes one
    error record of the asyncio logger; the node prints nothing."""
    served = serve(own_handler=False)
    fds = open_fds()
    n = 10
    ports = []
    for i in range(n):
        sock, port = connect(served)
        ports.append(port)
        try:
            send_parts(sock, message(i, 5000))
            wait_until(lambda: port in served.node.by_port and served.node.by_port[port].received,
                       timeout=T, message="the server to be reading")
        finally:
            reset(sock)
    wait_until(lambda: len(served.node.finished()) == n, timeout=T, message="every connection to end")
    wait_until(lambda: len([r for r in caplog.records if r.name == "asyncio"]) >= n, timeout=T,
               message="the loop's reports")
    served.flush()
    records = [r for r in caplog.records if r.name == "asyncio"]
    assert len(records) == n
    for r in records:
        assert r.levelname == "ERROR"
        lines = r.getMessage().split("\n")
        assert lines[0] == CB_FAILED
        assert [line.split(":")[0] for line in lines[1:]] == ["transport"]
        assert r.exc_info[0] is ConnectionResetError
    assert all(served.node.by_port[p].outcome is ConnectionResetError for p in ports)
    assert_still_serving(served)
    # The log records keep the exceptions, and through their tracebacks the
    # connections' streams: only the descriptors are checked here.
    assert_back_to(fds, served, writers=False)
    assert capfd.readouterr().out == ""


def test_connections_dropped_without_a_byte(serve, fd_room, capfd):
    """Clients that connect and leave without sending anything, by a normal
    close (the handler reads the end at once and closes) or by a reset (the
    handler raises it, the loop reports it): first while the server is
    accepting, then while its loop is busy, so that they are gone before the
    server accepts them."""
    ends, resets = 200, 100
    fd_room(2 * (ends + resets))
    served = serve()
    fds = open_fds()
    node = served.node
    connected = threading.Barrier(ends + resets + 1, timeout=T)
    crew = Crew(connected)

    def dropping(kind):
        sock, _ = connect(served)
        connected.wait()
        if kind == "end":
            sock.close()
        else:
            reset(sock)

    with crew:
        for i in range(ends + resets):
            crew.start(dropping, "reset" if i % 3 == 2 else "end")
        connected.wait()
        crew.join()
    wait_until(lambda: len(node.finished()) == ends + resets, timeout=T,
               message="every connection to end")

    # The same with the server's loop held up until every client is gone.
    # The loop's accept backlog is 100: stay below it.
    late_ends, late_resets = 40, 40
    held, release = threading.Event(), threading.Event()

    async def hold():
        held.set()
        release.wait(T)

    asyncio.run_coroutine_threadsafe(hold(), served.runner.loop)
    try:
        assert held.wait(T)
        before = len(node.conns)
        for i in range(late_ends + late_resets):
            sock = socket.create_connection((LOOPBACK, served.port), timeout=T)
            if i % 2:
                reset(sock)
            else:
                sock.close()
        assert len(node.conns) == before  # nothing was accepted meanwhile
    finally:
        release.set()
    total = ends + resets + late_ends + late_resets
    wait_until(lambda: len(node.finished()) == total, timeout=T,
               message="the late connections to end")

    outcomes = collections.Counter(c.outcome for c in node.conns)
    assert outcomes == {"ok": ends + late_ends, ConnectionResetError: resets + late_resets}
    assert all(c.received == 0 for c in node.conns)
    # A normal end is seen by the very first read.
    assert all(c.reads == 1 for c in node.conns if c.outcome == "ok")
    wait_until(lambda: len(served.reports) >= resets + late_resets, timeout=T, message="the reports")
    served.flush()
    assert served.reports == [(CB_FAILED, ConnectionResetError)] * (resets + late_resets)

    assert_still_serving(served)
    assert_back_to(fds, served)
    assert capfd.readouterr() == ("", "")


def test_everything_at_once_then_descriptors_return(serve, fd_room, capfd):
    """Megabyte messages, resets mid-message and empty connections, all
    connected before any of them sends or leaves."""
    big, resets, drops = 200, 100, 100
    n = big + resets + drops
    fd_room(2 * n)
    served = serve()
    fds = open_fds()
    connected = threading.Barrier(n + 1, timeout=T)
    expected, parts_of = {}, {}
    crew = Crew(connected)

    def client(i, kind):
        sock, port = connect(served)
        try:
            connected.wait()
            if kind == "big":
                parts = message(i)
                send_parts(sock, parts)
                expected[port] = (MIB, digest(parts))
            elif kind == "reset":
                parts = message(i, 1 + (i * 104729) % (MIB - 1))
                parts_of[port] = parts
                send_parts(sock, parts)
        finally:
            if kind == "reset":
                reset(sock)
            else:
                sock.close()

    kinds = ["big"] * big + ["reset"] * resets + ["drop"] * drops
    random.Random(7).shuffle(kinds)
    with crew:
        for i, kind in enumerate(kinds):
            crew.start(client, i, kind)
        connected.wait()
        crew.join()
    wait_until(lambda: len(served.node.finished()) == n, timeout=T,
               message="every connection to end")

    assert_intact(served, expected)
    failed = [c for c in served.node.conns if c.outcome is ConnectionResetError]
    for port, parts in parts_of.items():
        conn = served.node.by_port[port]
        # A reset may overtake data the server had not read yet: whatever was
        # read is a prefix of what was sent.
        assert conn.received <= sum(map(len, parts))
        assert conn.hash.hexdigest() == digest(parts, conn.received)
    empty = [c for c in served.node.conns if c.port not in expected and c.port not in parts_of]
    assert len(empty) == drops
    assert all(c.outcome == "ok" and c.received == 0 and c.reads == 1 for c in empty)
    assert {c.port for c in failed} == set(parts_of)
    wait_until(lambda: len(served.reports) >= len(failed), timeout=T, message="the reports")
    served.flush()
    assert served.reports == [(CB_FAILED, ConnectionResetError)] * len(failed)

    assert_still_serving(served)
    assert_back_to(fds, served)
    assert capfd.readouterr() == ("", "")


def test_a_cancelled_server_stops_listening_and_still_drains_open_connections(serve, capfd):
    """Cancelling server_task closes the listening socket at once; clients
    already connected are still drained to their end, and once they are gone
    every descriptor of the server is closed."""
    served = serve()
    n = 20
    socks = [connect(served) for _ in range(n)]
    try:
        wait_until(lambda: served.node.live == n, timeout=T, message="the handlers")
        served.future.cancel()
        wait_until(lambda: not served.node.server.is_serving(), timeout=T,
                   message="the server to stop listening")
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((LOOPBACK, served.port), timeout=T).close()
        expected = {}
        for i, (sock, port) in enumerate(socks):
            parts = message(i, 100_000)
            send_parts(sock, parts)
            expected[port] = (100_000, digest(parts))
    finally:
        for sock, _ in socks:
            sock.close()
    assert served.ended.wait(T)
    wait_until(lambda: len(served.node.finished()) == n, timeout=T, message="every connection to end")
    assert_intact(served, expected)
    served.flush()
    assert served.reports == []
    assert_back_to(served.fds_idle, served)
    assert capfd.readouterr() == ("", "")
