// buffer_record.cpp - class buffer: one queue of time-stamped frames that a
// dravel drains. A frame is a dict with "buffer_timestamp" (a number) and
// "data" (the keyword arguments to deliver); `buffer` keeps them in
// ascending timestamp order, and every reader and writer holds
// `buffer_threading_lock`.
#include "common/shell.hpp"
#include "engine.hpp"
#include "pyco/method.hpp"

namespace velkor {
namespace {

struct BufferRecord {};

// __init__(maxlen=None)
Ref buffer_init(PyObject* obj, Ref* p) {
  PyObject* maxlen = p[0] ? p[0].get() : Py_None;
  velkor_common::construct<BufferRecord>(obj);
  check_int(PyObject_SetAttr(obj, names().s_buffer, check(PyList_New(0)).get()));
  check_int(PyObject_SetAttr(obj, names().s_buffer_threading_lock, pyco::call(names().threading_Lock).get()));
  check_int(PyObject_SetAttr(obj, names().s_maxlen, maxlen));
  check_int(PyObject_SetAttr(obj, names().s_last_time, Py_None));
  return Ref();
}

PYCO_METHOD(buffer_init, "__init__", 0, "maxlen")

}  // namespace

void bind_buffer_record(nb::module_& m) {
  const pyco::Method methods[] = {
      pyco::plain("__init__", buffer_init_method,
                  "__init__($self, maxlen=None)\n--\n\n"
                  "Create an empty record with a lock of its own."),
  };
  PyObject* cls = velkor_common::bind_class<BufferRecord>(
      m, "buffer",
      "buffer(maxlen=None)\n\n"
      "A queue of time-stamped frames for a dravel. Attributes: buffer (the frames, dicts\n"
      "with \"buffer_timestamp\" and \"data\", in ascending timestamp order),\n"
      "buffer_threading_lock (hold it to append or read), maxlen (stored, not enforced)\n"
      "and last_time (timestamp of the frame a dravel took last, None before the first).",
      methods);
}

}  // namespace velkor
