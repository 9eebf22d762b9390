"""The network node: identity attributes, the raw TCP server (handle_client,
server_task) and the client (client_task) in both modes.

Every test that listens uses an ephemeral port. Checks that something is no
longer open look at this process's own TCP sockets through psutil.
"""
import asyncio
import collections.abc
import contextlib
import errno
import inspect
import socket
import struct
import threading

import psutil
import pytest

from velkor import velkor as V
from velkor import velkor_state as S

from helpers import LOOPBACK, until

# no_leaks (conftest): no unclosed socket, transport or loop, and no
# never-awaited coroutine, is left behind by a test.
pytestmark = pytest.mark.usefixtures("no_leaks")

MESSAGE = bytes(range(256)) * 19 + bytes(136)  # 5000 bytes, not uniform
REPLY = bytes(reversed(range(256))) * 7 + bytes(range(208))  # 2000 bytes
assert len(MESSAGE) == 5000 and len(REPLY) == 2000

TEST_TIMEOUT = 20.0  # upper bound for one asyncio scenario; a hang fails the test


# --------------------------------------------------------------------------
# helpers

def free_port():
    """A TCP port on the loopback address that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def client_sockets_to(port):
    """This process's TCP sockets whose remote end is `port` (client ends)."""
    return [c for c in psutil.Process().net_connections(kind="tcp")
            if c.raddr and c.raddr.port == port]


def listening_on(port):
    return [c for c in psutil.Process().net_connections(kind="tcp")
            if c.status == psutil.CONN_LISTEN and c.laddr.port == port]


def run(scenario, *args):
    """Run `scenario(*args)` with asyncio.run, bounded in time. Returns the
    result and the contexts the loop's exception handler received."""
    errors = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
        return await asyncio.wait_for(scenario(*args), TEST_TIMEOUT)

    return asyncio.run(main()), errors


@contextlib.asynccontextmanager
async def serving(node, port=0):
    """Run node.server_task() as a task on the running loop; yield the port it
    listens on. Cancels the task on exit and checks it ended cancelled."""
    node.port = port
    task = asyncio.create_task(node.server_task())
    await until(lambda: hasattr(node, "server") or task.done(), message="server to start")
    if task.done():
        task.result()  # raises the start failure
    try:
        yield node.server.sockets[0].getsockname()[1]
    finally:
        task.cancel()
        # Closing the server waits for its open connections; a scenario that
        # failed half-way may have left one open.
        await asyncio.wait([task], timeout=5)
        if not task.done():
            node.server.abort_clients()
            await asyncio.wait([task])
        assert task.cancelled()


@contextlib.asynccontextmanager
async def peer_server(handler):
    """A plain asyncio stream server on an ephemeral loopback port running
    `handler`; connection resets from the far end are ignored. On exit,
    handlers still running are cancelled (a hung scenario must not hang its
    clean-up)."""
    handlers = set()

    async def guarded(reader, writer):
        handlers.add(asyncio.current_task())
        try:
            await handler(reader, writer)
        except ConnectionError:
            pass
        finally:
            writer.close()
            with contextlib.suppress(ConnectionError):
                await writer.wait_closed()

    server = await asyncio.start_server(guarded, LOOPBACK, 0)
    try:
        yield server.sockets[0].getsockname()[1]
    finally:
        server.close()
        for task in handlers:
            task.cancel()
        if handlers:
            await asyncio.wait(handlers)
        await server.wait_closed()


class Conn:
    """What one server-side connection went through."""

    def __init__(self):
        self.events = []  # ("read", n, len(data)) / ("read_error", exc) / "close" / "closed" / "write"
        self.reads_started = 0
        self.fail_first_read = None

    @property
    def reads(self):
        return [e for e in self.events if e[0] == "read"]

    @property
    def received(self):
        return sum(e[2] for e in self.reads)

    def closing(self):
        return "close" in self.events


class SpyReader:
    def __init__(self, reader, conn):
        self._reader, self._conn = reader, conn

    async def read(self, n=-1):
        self._conn.reads_started += 1
        try:
            data = await self._reader.read(n)
        except BaseException as exc:
            self._conn.events.append(("read_error", exc))
            raise
        self._conn.events.append(("read", n, len(data)))
        return data


class SpyWriter:
    def __init__(self, writer, conn):
        self._writer, self._conn = writer, conn

    def write(self, data):
        self._conn.events.append("write")
        self._writer.write(data)

    def close(self):
        self._conn.events.append("close")
        self._writer.close()

    async def wait_closed(self):
        try:
            await self._writer.wait_closed()
        finally:
            self._conn.events.append("closed")


class SpyNode(V.net_node):
    """A node whose connections go through the node's own handle_client, with
    the stream reader and writer observed on the way."""

    def __init__(self):
        super().__init__()
        self.conns = []

    async def handle_client(self, reader, writer):
        conn = Conn()
        self.conns.append(conn)
        await super().handle_client(SpyReader(reader, conn), SpyWriter(writer, conn))


# --------------------------------------------------------------------------
# identity and configuration

class TestAttributes:
    def test_defaults_in_order_and_no_server(self):
        node = V.net_node()
        assert (node.name, node.address, node.port) == ("node_0", "127.0.0.1", 8080)
        assert list(vars(node)) == ["name", "address", "port"]
        assert isinstance(node.port, int)
        assert not hasattr(node, "server")

    def test_constructor_takes_no_arguments(self):
        with pytest.raises(TypeError):
            V.net_node("n")
        with pytest.raises(TypeError):
            V.net_node(name="n")

    def test_attributes_are_plain_and_writable(self):
        node = V.net_node()
        node.name, node.address, node.port = "n1", "10.0.0.7", 9000
        assert (node.name, node.address, node.port) == ("n1", "10.0.0.7", 9000)
        other = V.net_node()
        assert (other.name, other.address, other.port) == ("node_0", "127.0.0.1", 8080)

    @pytest.mark.parametrize("value", ["other", "", "a,b", None, 42, ["x"], object()])
    def test_config_node_leaves_the_node_unchanged(self, value):
        node = V.net_node()
        node.name = "mine"
        before = dict(vars(node))
        assert node.config_node(value) is None
        assert node.config_node(name=value) is None
        assert vars(node) == before
        assert node.name == "mine"

    def test_config_node_requires_its_argument(self):
        with pytest.raises(TypeError):
            V.net_node().config_node()

    def test_shared_node_is_a_net_node(self):
        assert isinstance(S.network_node, V.net_node)
        assert S.network_node.name == "node_0"
        S.network_node.config_node("elsewhere")
        assert S.network_node.name == "node_0"


class TestCoroutineMethods:
    @pytest.mark.parametrize("method", ["server_task", "handle_client", "client_task"])
    def test_are_coroutine_functions_on_class_and_instance(self, method):
        node = V.net_node()
        assert inspect.iscoroutinefunction(getattr(V.net_node, method))
        assert inspect.iscoroutinefunction(getattr(node, method))
        assert inspect.ismethod(getattr(node, method))
        assert getattr(node, method).__self__ is node

    def test_calls_return_coroutines_that_can_be_closed_unstarted(self):
        node = V.net_node()
        coros = [node.server_task(), node.handle_client(None, None),
                 node.client_task(LOOPBACK, 1, b"")]
        for coro in coros:
            coro.close()
        for coro in coros:
            assert asyncio.iscoroutine(coro)
            assert isinstance(coro, collections.abc.Coroutine)
        # Creating the server coroutine does not start anything.
        assert not hasattr(node, "server")

    def test_bad_arguments_raise_at_the_call(self):
        node = V.net_node()
        with pytest.raises(TypeError):
            node.client_task(LOOPBACK, 1)
        with pytest.raises(TypeError):
            node.server_task(1)
        with pytest.raises(TypeError):
            node.handle_client(None)

    def test_client_coroutine_runs_directly_under_asyncio_run(self):
        # The coroutine itself is the main coroutine of a plain asyncio.run;
        # the peer is a blocking socket on a thread that reads to the end.
        received = []
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
            listener.bind((LOOPBACK, 0))
            listener.listen(1)
            listener.settimeout(TEST_TIMEOUT)
            port = listener.getsockname()[1]

            def peer():
                conn, _ = listener.accept()
                with conn:
                    conn.settimeout(TEST_TIMEOUT)
                    data = b""
                    while chunk := conn.recv(4096):
                        data += chunk
                    received.append(data)

            thread = threading.Thread(target=peer)
            thread.start()
            try:
                assert asyncio.run(V.net_node().client_task(LOOPBACK, port, b"hello")) is None
            finally:
                thread.join(TEST_TIMEOUT)
        assert received == [b"hello"]

    def test_server_coroutine_runs_as_a_task_of_asyncio_run(self):
        node = V.net_node()

        async def scenario():
            async with serving(node) as port:
                return await node.client_task(LOOPBACK, port, b"x")

        assert run(scenario) == (None, [])


# --------------------------------------------------------------------------
# server

class TestServer:
    @pytest.mark.parametrize("address", ["127.0.0.1", "0.0.0.0", "192.0.2.1", "localhost", "::1"])
    def test_listens_on_the_ipv4_loopback_only_at_port(self, address):
        node = V.net_node()
        node.address = address
        port = free_port()

        async def scenario():
            async with serving(node, port) as bound:
                assert bound == port
                socks = node.server.sockets
                assert len(socks) == 1
                assert socks[0].family == socket.AF_INET
                assert socks[0].getsockname() == (LOOPBACK, port)
                [listener] = listening_on(port)
                assert listener.laddr.ip == LOOPBACK
                assert node.server.is_serving()
                assert await node.client_task(LOOPBACK, port, b"ping") is None

        assert run(scenario) == (None, [])
        assert node.address == address  # read by nobody, changed by nobody

    def test_server_attribute_appears_once_the_server_has_started(self):
        node = V.net_node()
        seen = []

        async def scenario():
            node.port = 0
            coro = node.server_task()
            seen.append(hasattr(node, "server"))
            task = asyncio.create_task(coro)
            seen.append(hasattr(node, "server"))  # created, not yet run
            await until(lambda: hasattr(node, "server"), message="server attribute")
            # the running loop's own server type (uvloop's is not asyncio.Server)
            probe = await asyncio.start_server(lambda reader, writer: None, LOOPBACK, 0)
            probe.close()
            await probe.wait_closed()
            assert type(node.server) is type(probe)
            assert node.server.is_serving()
            assert not task.done()
            task.cancel()
            await asyncio.wait([task])

        run(scenario)
        assert seen == [False, False]

    def test_message_is_drained_in_chunks_and_the_server_closes_only_after_the_client(self):
        node = SpyNode()

        async def scenario():
            async with serving(node) as port:
                reader, writer = await asyncio.open_connection(LOOPBACK, port)
                try:
                    writer.write(MESSAGE)
                    await writer.drain()
                    await until(lambda: node.conns and node.conns[0].received == len(MESSAGE),
                                message="the whole message to be read")
                    conn = node.conns[0]
                    # Everything is read and the handler waits in its next read:
                    # the server keeps the connection open while the client does.
                    await until(lambda: conn.reads_started == len(conn.events) + 1,
                                message="the server to wait for more")
                    assert not conn.closing()
                    assert not reader.at_eof()

                    writer.write_eof()  # the client ends its side
                    await until(lambda: "closed" in conn.events, message="the server to close")
                    assert await reader.read() == b""  # nothing ever written back
                finally:
                    writer.close()
                    await writer.wait_closed()
            return conn

        conn, errors = run(scenario)
        assert errors == []
        reads = conn.reads
        assert all(n == 1024 for _, n, _ in reads)
        assert all(0 < size <= 1024 for _, _, size in reads[:-1])
        assert len(reads) - 1 >= 5  # 5000 bytes need at least five reads
        assert sum(size for _, _, size in reads) == 5000
        assert reads[-1][2] == 0
        # The close comes after the empty read, and nothing was written.
        assert conn.events[len(reads):] == ["close", "closed"]
        assert "write" not in conn.events

    def test_concurrent_clients_are_each_drained(self):
        node = SpyNode()

        async def scenario():
            async with serving(node) as port:
                results = await asyncio.gather(
                    *(node.client_task(LOOPBACK, port, MESSAGE[: 1000 * (i + 1)]) for i in range(5)))
                await until(lambda: len(node.conns) == 5
                            and all("closed" in c.events for c in node.conns),
                            message="every connection to be closed")
                assert client_sockets_to(port) == []
            return results

        results, errors = run(scenario)
        assert results == [None] * 5 and errors == []
        assert sorted(c.received for c in node.conns) == [1000, 2000, 3000, 4000, 5000]

    def test_cancelling_server_task_closes_the_server(self):
        node = V.net_node()

        async def scenario():
            node.port = 0
            task = asyncio.create_task(node.server_task())
            await until(lambda: hasattr(node, "server"), message="server to start")
            port = node.server.sockets[0].getsockname()[1]
            assert await node.client_task(LOOPBACK, port, b"before") is None
            assert listening_on(port)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert task.cancelled()
            assert not node.server.is_serving()
            assert tuple(node.server.sockets) == ()  # a list on uvloop
            assert listening_on(port) == []
            with pytest.raises(ConnectionRefusedError):
                await node.client_task(LOOPBACK, port, b"after")

        assert run(scenario) == (None, [])

    def test_port_in_use_raises_and_leaves_server_unset(self):
        node = V.net_node()
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
            taken.bind((LOOPBACK, 0))
            taken.listen(1)
            node.port = taken.getsockname()[1]
            with pytest.raises(OSError) as info:
                asyncio.run(node.server_task())
            assert info.value.errno == errno.EADDRINUSE
            assert not hasattr(node, "server")
            assert len(listening_on(node.port)) == 1  # only ours

    def test_a_failing_read_closes_that_connection_and_the_server_goes_on(self):
        node = SpyNode()

        async def scenario():
            async with serving(node) as port:
                # A client that resets its connection while the server reads.
                raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                try:
                    raw.setblocking(False)
                    await asyncio.get_running_loop().sock_connect(raw, (LOOPBACK, port))
                    await until(lambda: node.conns and node.conns[0].reads_started,
                                message="the server to read")
                    raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                finally:
                    raw.close()  # linger 0: reset
                await until(lambda: "closed" in node.conns[0].events, message="the reset connection to close")

                # The server still serves other connections.
                assert node.server.is_serving()
                assert await node.client_task(LOOPBACK, port, MESSAGE) is None
                await until(lambda: len(node.conns) == 2 and "closed" in node.conns[1].events,
                            message="the next connection to be served")

        _, errors = run(scenario)
        failed, served = node.conns
        [(kind, exc)] = [e for e in failed.events if e[0] == "read_error"]
        assert isinstance(exc, ConnectionResetError)
        assert failed.events[-2:] == ["close", "closed"]
        assert failed.events.index("close") > failed.events.index((kind, exc))
        # The handler raised out of its callback; the loop reported it.
        assert len(errors) == 1
        assert isinstance(errors[0]["exception"], ConnectionResetError)
        assert served.received == 5000 and served.events[-2:] == ["close", "closed"]


class FakeReader:
    def __init__(self, chunks=(), error=None, block=False):
        self.chunks = list(chunks)
        self.error = error
        self.block = block
        self.calls = []

    async def read(self, n=-1):
        self.calls.append(n)
        if self.block:
            await asyncio.Event().wait()
        if self.error is not None and not self.chunks:
            raise self.error
        return self.chunks.pop(0) if self.chunks else b""


class FakeWriter:
    def __init__(self, log, close_error=None):
        self.log = log
        self.close_error = close_error

    def write(self, data):
        self.log.append("write")

    def close(self):
        self.log.append("close")

    async def wait_closed(self):
        self.log.append("wait_closed")
        if self.close_error is not None:
            raise self.close_error


class TestHandleClient:
    def test_reads_1024_at_a_time_until_empty_then_closes(self):
        log = []
        reader = FakeReader([b"a" * 1024, b"b" * 1024, b"c" * 10])
        assert asyncio.run(V.net_node().handle_client(reader, FakeWriter(log))) is None
        assert reader.calls == [1024] * 4
        assert log == ["close", "wait_closed"]

    def test_a_failing_read_closes_and_raises_the_same_exception(self):
        log = []
        boom = OSError("read failed")
        reader = FakeReader([b"a"], error=boom)
        with pytest.raises(OSError) as info:
            asyncio.run(V.net_node().handle_client(reader, FakeWriter(log)))
        assert info.value is boom
        assert reader.calls == [1024, 1024]
        assert log == ["close", "wait_closed"]

    def test_a_failing_close_wins_with_the_read_error_as_context(self):
        read_error, close_error = ValueError("read"), OSError("close")
        with pytest.raises(OSError) as info:
            asyncio.run(V.net_node().handle_client(FakeReader(error=read_error),
                                                   FakeWriter([], close_error)))
        assert info.value is close_error
        assert info.value.__context__ is read_error

    def test_cancellation_while_reading_closes_then_propagates(self):
        log = []
        reader = FakeReader(block=True)

        async def scenario():
            task = asyncio.create_task(V.net_node().handle_client(reader, FakeWriter(log)))
            await until(lambda: reader.calls, message="the read")
            task.cancel()
            await asyncio.wait([task])
            return task.cancelled()

        assert asyncio.run(scenario()) is True
        assert log == ["close", "wait_closed"]


# --------------------------------------------------------------------------
# client

class TestClient:
    @pytest.mark.parametrize("fire_forget", ["default", True, 1, "yes"])
    def test_fire_forget_returns_none_once_written_and_closed(self, fire_forget):
        received = []
        release = None

        async def peer(reader, writer):
            received.append(await reader.read())  # up to the client's close
            await release.wait()  # the peer holds its end open

        async def scenario():
            nonlocal release
            release = asyncio.Event()
            async with peer_server(peer) as port:
                node = V.net_node()
                if fire_forget == "default":
                    result = await node.client_task(LOOPBACK, port, MESSAGE)
                else:
                    result = await node.client_task(LOOPBACK, port, MESSAGE, fire_forget)
                # Returned without waiting for the peer; its own end is closed.
                assert not release.is_set()
                assert client_sockets_to(port) == []
                await until(lambda: received, message="the peer to see the end")
                release.set()
                return result

        assert run(scenario) == (None, [])
        assert received == [MESSAGE]

    @pytest.mark.parametrize("fire_forget", [False, 0, None, ""])
    def test_reply_is_cut_at_1024_bytes(self, fire_forget):
        got = []

        async def peer(reader, writer):
            got.append(await reader.readexactly(len(MESSAGE)))
            writer.write(REPLY)
            await writer.drain()
            await reader.read()

        async def scenario():
            async with peer_server(peer) as port:
                reply = await V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget)
                assert client_sockets_to(port) == []
                return reply

        reply, errors = run(scenario)
        assert errors == []
        assert got == [MESSAGE]
        assert isinstance(reply, bytes)
        assert 0 < len(reply) <= 1024
        assert reply == REPLY[: len(reply)]

    def test_reply_wait_half_closes_so_a_peer_may_answer_after_the_end(self):
        async def peer(reader, writer):
            assert await reader.read() == MESSAGE  # ends only with the half-close
            writer.write(REPLY)
            await writer.drain()

        async def scenario():
            async with peer_server(peer) as port:
                return await V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget=False)

        reply, errors = run(scenario)
        assert errors == []
        assert 0 < len(reply) <= 1024 and reply == REPLY[: len(reply)]

    def test_reply_wait_against_a_node_server_returns_empty(self):
        server_node = SpyNode()

        async def scenario():
            async with serving(server_node) as port:
                reply = await asyncio.wait_for(
                    V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget=False), 10)
                await until(lambda: server_node.conns and "closed" in server_node.conns[0].events,
                            message="the server to close")
                assert client_sockets_to(port) == []
                return reply

        assert run(scenario) == (b"", [])
        assert server_node.conns[0].received == 5000

    def test_reply_is_empty_when_the_peer_closes_without_writing(self):
        async def peer(reader, writer):
            await reader.readexactly(3)

        async def scenario():
            async with peer_server(peer) as port:
                return await V.net_node().client_task(LOOPBACK, port, b"abc", fire_forget=False)

        assert run(scenario) == (b"", [])

    def test_connection_refused_raises_with_nothing_left_open(self):
        port = free_port()

        async def scenario():
            with pytest.raises(ConnectionRefusedError):
                await V.net_node().client_task(LOOPBACK, port, MESSAGE)
            with pytest.raises(ConnectionRefusedError):
                await V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget=False)
            assert client_sockets_to(port) == []

        assert run(scenario) == (None, [])

    def test_a_failing_write_closes_the_connection_then_raises(self):
        received = []

        async def peer(reader, writer):
            received.append(await reader.read())

        async def scenario():
            async with peer_server(peer) as port:
                with pytest.raises(TypeError):
                    await V.net_node().client_task(LOOPBACK, port, "not bytes")
                assert client_sockets_to(port) == []
                await until(lambda: received, message="the peer to see the close")

        assert run(scenario) == (None, [])
        assert received == [b""]

    def test_a_reset_while_waiting_for_the_reply_closes_then_raises(self):
        async def peer(reader, writer):
            await reader.read()  # the message, up to the half-close
            writer.get_extra_info("socket").setsockopt(
                socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            writer.transport.abort()  # reset

        async def scenario():
            async with peer_server(peer) as port:
                with pytest.raises(ConnectionResetError):
                    await V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget=False)
                assert client_sockets_to(port) == []

        assert run(scenario) == (None, [])

    def test_cancelling_a_reply_wait_closes_the_connection(self):
        state = {}

        async def peer(reader, writer):
            state["eof"] = await reader.read()
            await state["release"].wait()  # never answers

        async def scenario():
            state["release"] = asyncio.Event()
            async with peer_server(peer) as port:
                task = asyncio.create_task(
                    V.net_node().client_task(LOOPBACK, port, MESSAGE, fire_forget=False))
                await until(lambda: "eof" in state, message="the peer to see the half-close")
                assert len(client_sockets_to(port)) == 1
                task.cancel()
                await asyncio.wait([task])
                assert task.cancelled()
                assert client_sockets_to(port) == []
                state["release"].set()

        assert run(scenario) == (None, [])
        assert state["eof"] == MESSAGE
