// net_node.cpp - class net_node: the process's node name, and a raw TCP
// server and client on asyncio streams (one message per connection).
#include "engine.hpp"

#include "common/shell.hpp"
#include "pyco/method.hpp"

namespace velkor {
namespace {

struct NetNode {};

constexpr const char* kLoopback = "127.0.0.1";
constexpr Py_ssize_t kChunk = 1024;

// Link `raised` to `pending` as its __context__, as Python does for an
// exception raised while another is being handled; a link that would close a
// cycle through pending's own context chain is cut first.
void chain_context(PyObject* raised, PyObject* pending) {
  if (raised == pending) return;
  PyObject* o = pending;
  PyObject* slow = o;  // Floyd: stop on a cycle that is already there
  bool step_slow = false;
  for (;;) {
    Ref ctx = Ref::steal(PyException_GetContext(o));
    if (!ctx) break;
    if (ctx.get() == raised) {
      PyException_SetContext(o, nullptr);
      break;
    }
    o = ctx.get();  // still referenced by the chain
    if (o == slow) break;
    if (step_slow) slow = Ref::steal(PyException_GetContext(slow)).get();
    step_slow = !step_slow;
  }
  PyException_SetContext(raised, Py_NewRef(pending));
}

// The `finally` of both ends: close the writer and wait until it is closed,
// then raise again `pending`, the exception that ended the block (None if
// the block ended normally). A failure of the close itself wins, with
// `pending` as its context.
pyco::CoroNone close_writer_body(Ref writer, Ref pending) {
  if (pending.get() == Py_None) pending.reset();
  try {
    pyco::call_method(writer.get(), names().s_close);
    co_await pyco::call_method(writer.get(), names().s_wait_closed);
  } catch (const pyco::BaseException& e) {
    if (pending) chain_context(e.value(), pending.get());
    throw;
  }
  if (pending) pyco::throw_exc(std::move(pending));
}

Ref close_writer(const Ref& writer, const Ref& pending) {
  static PyObject* fn = check(pyco::new_function(
      [](PyObject* const* a, Py_ssize_t na, PyObject* kw) -> pyco::Frame {
        Ref p[2];
        pyco::parse_args("close_writer", a, na, kw, {"writer", "pending"}, 2, p);
        return close_writer_body(std::move(p[0]), std::move(p[1]));
      },
      "close_writer", "net_node.close_writer", "velkor.velkor", nullptr)).release();
  return pyco::call(fn, writer, pending ? pending : pyco::none());
}

Ref start_server(PyObject* handler, PyObject* host, PyObject* port, PyObject* backlog,
                 PyObject* kw_backlog) {
  return pyco::vcall_kw(names().asyncio_start_server, {handler, host, port, backlog}, kw_backlog);
}

// server_task(): listen on the IPv4 loopback address at self.port and serve
// until cancelled. The serving runs inside `async with server`: leaving it
// (cancellation or error) closes the server, and the exception goes on
// unless __aexit__ returns a true value.
pyco::CoroNone server_task_body(Ref self) {
  Ref handler = pyco::getattr(self.get(), names().s_handle_client);
  Ref host = check(PyUnicode_FromString(kLoopback));
  Ref port = pyco::getattr(self.get(), names().s_port);
  // The listen queue is as long as the system allows (socket.SOMAXCONN),
  // not asyncio's default of 100: when a burst of connections overflows the
  // queue, the system can complete connections that the server never gets to
  // accept, and the messages their clients sent are lost.
  Ref starting = start_server(handler.get(), host.get(), port.get(),
                              names().socket_SOMAXCONN, names().kw_backlog);
  Ref server = co_await std::move(starting);
  check_int(PyObject_SetAttr(self.get(), names().s_server, server.get()));
  co_await pyco::call_method(server.get(), names().s_aenter);
  Ref err;
  try {
    co_await pyco::call_method(server.get(), names().s_serve_forever);
  } catch (const pyco::BaseException& e) {
    err = Ref::borrow(e.value());
  }
  Ref type = err ? Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(err.get()))) : pyco::none();
  Ref value = err ? err : pyco::none();
  Ref tb = err ? Ref::steal(PyException_GetTraceback(err.get())) : Ref();
  if (!tb) tb = pyco::none();
  Ref suppress;
  try {
    suppress = co_await pyco::call_method(server.get(), names().s_aexit, type, value, tb);
  } catch (const pyco::BaseException& e) {
    if (err) chain_context(e.value(), err.get());
    throw;
  }
  if (err && !check_int(PyObject_IsTrue(suppress.get()))) pyco::throw_exc(std::move(err));
}

pyco::Frame server_task_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[1];
  pyco::parse_args("server_task", a, na, kw, {"self"}, 1, p);
  return server_task_body(std::move(p[0]));
}

// handle_client(reader, writer): drain the connection in chunks of at most
// 1024 bytes until the peer closes its side; the bytes are dropped.
pyco::CoroNone handle_client_body(Ref self, Ref reader, Ref writer) {
  Ref err;
  try {
    Ref chunk = check(PyLong_FromSsize_t(kChunk));
    for (;;) {
      Ref data = co_await pyco::call_method(reader.get(), names().s_read, chunk);
      if (!check_int(PyObject_IsTrue(data.get()))) break;
    }
  } catch (const pyco::BaseException& e) {
    err = Ref::borrow(e.value());
  }
  co_await close_writer(writer, err);
  (void)self;
}

pyco::Frame handle_client_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[3];
  pyco::parse_args("handle_client", a, na, kw, {"self", "reader", "writer"}, 3, p);
  return handle_client_body(std::move(p[0]), std::move(p[1]), std::move(p[2]));
}

// client_task(address, port, message, fire_forget=True): send one message on
// a connection of its own. Unless fire_forget, half-close the sending side
// once the message is drained (the peer sees the end of the message) and
// return the first read of the reply, at most 1024 bytes.
pyco::Coro client_task_body(Ref self, Ref address, Ref port, Ref message, Ref fire_forget) {
  Ref pair = co_await pyco::call(names().asyncio_open_connection, address, port);
  Ref reader, writer;
  {
    Ref it = check(PyObject_GetIter(pair.get()));
    reader = check(PyIter_Next(it.get()));
    writer = check(PyIter_Next(it.get()));
  }
  Ref result = pyco::none();
  Ref err;
  try {
    pyco::call_method(writer.get(), names().s_write, message);
    co_await pyco::call_method(writer.get(), names().s_drain);
    if (!check_int(PyObject_IsTrue(fire_forget.get()))) {
      if (pyco::call_method(writer.get(), names().s_can_write_eof).get() == Py_True)
        pyco::call_method(writer.get(), names().s_write_eof);
      Ref chunk = check(PyLong_FromSsize_t(kChunk));
      result = co_await pyco::call_method(reader.get(), names().s_read, chunk);
    }
  } catch (const pyco::BaseException& e) {
    err = Ref::borrow(e.value());
  }
  co_await close_writer(writer, err);
  (void)self;
  co_return result;
}

pyco::Frame client_task_impl(PyObject* const* a, Py_ssize_t na, PyObject* kw) {
  Ref p[5];
  pyco::parse_args("client_task", a, na, kw, {"self", "address", "port", "message", "fire_forget"},
                   4, p);
  if (!p[4]) p[4] = Ref::borrow(Py_True);
  return client_task_body(std::move(p[0]), std::move(p[1]), std::move(p[2]), std::move(p[3]),
                          std::move(p[4]));
}

// __init__()
Ref node_init(PyObject* obj, Ref*) {
  velkor_common::construct<NetNode>(obj);
  Ref name = check(PyUnicode_FromString("node_0"));
  Ref address = check(PyUnicode_FromString(kLoopback));
  Ref port = check(PyLong_FromLong(8080));
  check_int(PyObject_SetAttr(obj, names().s_name, name.get()));
  check_int(PyObject_SetAttr(obj, names().s_address, address.get()));
  check_int(PyObject_SetAttr(obj, names().s_port, port.get()));
  return Ref();
}

// config_node(name): configuration is not defined yet.
Ref config_node(PyObject*, Ref*) { return Ref(); }

PYCO_METHOD(node_init, "__init__", 0)
PYCO_METHOD(config_node, "config_node", 1, "name")

}  // namespace

void bind_net_node(nb::module_& m) {
  const pyco::Method methods[] = {
      pyco::plain("__init__", node_init_method,
                  "__init__($self)\n--\n\nCreate a node with the default name, address and port."),
      pyco::plain("config_node", config_node_method,
                  "config_node($self, name)\n--\n\n"
                  "Configure the node. Configuration is not defined yet: the node is left "
                  "unchanged."),
      pyco::coroutine("server_task", server_task_impl,
                      "server_task($self)\n--\n\nListen on 127.0.0.1 at `port`, draining every "
                      "connection with handle_client, until cancelled. The server object is "
                      "kept as `server`."),
      pyco::coroutine("handle_client", handle_client_impl,
                      "handle_client($self, reader, writer)\n--\n\nRead an accepted connection "
                      "in chunks of at most 1024 bytes until the peer closes, drop the bytes, "
                      "then close the connection."),
      pyco::coroutine(
          "client_task", client_task_impl,
          "client_task($self, address, port, message, fire_forget=True)\n--\n\nConnect, write "
          "the bytes `message` and drain. With fire_forget true return None; otherwise "
          "half-close the sending side and return the reply's first read (at most 1024 bytes; "
          "b'' when the peer closes without writing). The connection is closed before "
          "returning."),
  };
  velkor_common::bind_class<NetNode>(
      m, "net_node",
      "net_node()\n\n"
      "The process's place in a network of nodes. `name` (default \"node_0\") prefixes every "
      "task\nand runner key; `address` (default \"127.0.0.1\") is kept for callers; `port` "
      "(default 8080)\nis where server_task listens, always on the IPv4 loopback address.",
      methods);
}

}  // namespace velkor
