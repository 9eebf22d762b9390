// graph_view.cpp - drawing the task graph: Tasks_Graph collects the links
// of some tasks from velkor_state.Tasks, Task_draw_directed_graph_with_two_colors
// draws them with networkx and matplotlib.pyplot. Black arrows are trigger
// links, red arrows in-code links; the given tasks are light blue, their
// neighbours light green, stopped tasks gray.
#include "pyco/traceback.hpp"
#include "task.hpp"

namespace velkor {
namespace {

// The names of matplotlib's non-interactive backends (where show() would
// only warn); made at module init.
PyObject* g_non_interactive = nullptr;

Ref graph_of(PyObject* nodes, PyObject* in_edges, PyObject* out_edges) {
  Ref graph = pyco::call(names().networkx_DiGraph);
  pyco::call_method(graph.get(), names().s_add_nodes_from, Ref::borrow(nodes));
  // Producers first for in-edges, the node first for out-edges.
  for (int pass = 0; pass < 2 && in_edges; ++pass) {
    PyObject* edges = pass == 0 ? in_edges : out_edges;
    Ref items = check(PyMapping_Items(edges));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      Ref node = Ref::borrow(PyTuple_GET_ITEM(item, 0));
      Ref it = check(PyObject_GetIter(PyTuple_GET_ITEM(item, 1)));
      while (Ref other = Ref::steal(PyIter_Next(it.get()))) {
        if (pass == 0) pyco::call_method(graph.get(), names().s_add_edge, other, node);
        else pyco::call_method(graph.get(), names().s_add_edge, node, other);
      }
      if (PyErr_Occurred()) pyco::throw_current();
    }
  }
  return graph;
}

// pyplot.show(); a non-interactive back end (Agg, headless) cannot show a
// window: then the figure is simply left open for the caller (to save it),
// without the back end's "cannot be shown" warning.
void show() {
  Ref backend = pyco::call(names().matplotlib_get_backend);
  Ref lower = check(PyObject_CallMethod(backend.get(), "lower", nullptr));
  if (check_int(PySequence_Contains(g_non_interactive, lower.get()))) return;
  pyco::call(names().pyplot_show);
}

void draw_two_colors(nb::handle nodes1, nb::handle in_edges1, nb::handle out_edges1,
                     nb::handle nodes2, nb::handle in_edges2, nb::handle out_edges2,
                     nb::handle nodes3, nb::handle nodes4, nb::handle font_size,
                     nb::handle figure_size) {
  Ref graphs[4] = {graph_of(nodes1.ptr(), in_edges1.ptr(), out_edges1.ptr()),
                   graph_of(nodes2.ptr(), in_edges2.ptr(), out_edges2.ptr()),
                   graph_of(nodes3.ptr(), nullptr, nullptr),
                   graph_of(nodes4.ptr(), nullptr, nullptr)};
  Ref pos = pyco::call(names().networkx_kamada_kawai_layout, graphs[0]);
  for (int i = 1; i < 4; ++i)
    pyco::call_method(pos.get(), names().s_update, pyco::call(names().networkx_kamada_kawai_layout, graphs[i]));
  vcall_kw(names().pyplot_figure, {figure_size.ptr()}, names().kw_figsize);
  struct Style { bool labels; PyObject* node_color; PyObject* edge_color; bool arrows; };
  const Style styles[4] = {{true, names().s_lightgreen, names().s_black, true},
                           {true, names().s_lightgreen, names().s_red, true},
                           {true, names().s_lightblue, names().s_red, true},
                           {false, names().s_gray, names().s_red, false}};
  for (int i = 0; i < 4; ++i) {
    const Style& s = styles[i];
    PyObject* labels = s.labels ? Py_True : Py_False;
    PyObject* arrows = s.arrows ? Py_True : Py_False;
    vcall_kw(names().networkx_draw,
             {graphs[i].get(), pos.get(), labels, s.node_color, s.edge_color, arrows,
              font_size.ptr()},
             names().kw_draw_labels);
  }
  show();
}

// The links of `tasks` (a list of task keys) and the stopped tasks among
// them and their neighbours, drawn by draw_two_colors.
void tasks_graph(nb::handle tasks_h, nb::handle font_size, nb::handle figure_size) {
  PyObject* tasks = tasks_h.ptr();
  Ref table = state_attr(names().s_Tasks);
  Ref all_nodes = check(PySet_New(tasks));
  PyObject* const sets[4] = {names().s_input_tasks, names().s_output_tasks,
                             names().s_incode_input_tasks,
                             names().s_incode_output_tasks};
  Ref edges[4];
  Ref keys = check(PySequence_List(tasks));
  for (int s = 0; s < 4; ++s) {
    edges[s] = check(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      PyObject* key = PyList_GET_ITEM(keys.get(), i);
      Ref task = check(PyObject_GetItem(table.get(), key));
      Ref linked = check(PySequence_List(pyco::getattr(task.get(), sets[s]).get()));
      check_int(PyDict_SetItem(edges[s].get(), key, linked.get()));
      pyco::call_method(all_nodes.get(), names().s_update, linked);
    }
  }
  Ref stopped = check(PyList_New(0));
  {
    Ref it = check(PyObject_GetIter(all_nodes.get()));
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
      Ref task = check(PyObject_GetItem(table.get(), key.get()));
      Ref flag = pyco::getattr(task.get(), names().s_stop_flag);
      if (equals_int(flag.get(), 1)) check_int(PyList_Append(stopped.get(), key.get()));
    }
    if (PyErr_Occurred()) pyco::throw_current();
  }
  Ref given_and_stopped = check(PySequence_Concat(tasks, stopped.get()));
  draw_two_colors(tasks_h, edges[0].get(), edges[1].get(), tasks_h, edges[2].get(),
                  edges[3].get(), given_and_stopped.get(), stopped.get(), font_size,
                  figure_size);
}

// The two functions are nanobind functions (their default lists are shared
// objects that nanobind keeps): an exception that leaves one gets the entry
// of its name in its traceback here, as the functions of the method tables
// get theirs from their guard. nanobind raises the errors of arguments that
// do not convert before the body runs; those carry no entry.
template <class F>
void traced(const char* name, F&& body) {
  try {
    body();
    return;
  } catch (const pyco::BaseException& e) {
    e.restore();
  } catch (nb::python_error& e) {
    e.restore();
  }
  pyco::add_traceback(pyco::trace_site(name));
  throw nb::python_error();
}

}  // namespace

void bind_graph_view(nb::module_& m) {
  Ref registry = pyco::import_attr("matplotlib.backends", "backend_registry");
  Ref filter = pyco::import_attr("matplotlib.backends", "BackendFilter.NON_INTERACTIVE");
  Ref names_list = check(PyObject_CallMethod(registry.get(), "list_builtin", "O", filter.get()));
  g_non_interactive = check(PySet_New(names_list.get())).release();

  // The default lists of nodes3 and nodes4: made once, shared by every call.
  nb::list nodes3, nodes4;
  nb::tuple size = nb::make_tuple(8, 4);
  m.def("Task_draw_directed_graph_with_two_colors",
        [](nb::handle n1, nb::handle i1, nb::handle o1, nb::handle n2, nb::handle i2,
           nb::handle o2, nb::handle n3, nb::handle n4, nb::handle font, nb::handle fig) {
          traced("Task_draw_directed_graph_with_two_colors", [&] {
            draw_two_colors(n1, i1, o1, n2, i2, o2, n3, n4, font, fig);
          });
        },
        nb::arg("nodes1"),
        nb::arg("in_edges1"), nb::arg("out_edges1"), nb::arg("nodes2"), nb::arg("in_edges2"),
        nb::arg("out_edges2"), nb::arg("nodes3") = nodes3, nb::arg("nodes4") = nodes4,
        nb::arg("font_size") = 8, nb::arg("figure_size") = size,
        "Draw four directed graphs on top of each other in a new figure: graph 1 from nodes1\n"
        "and the edges of in_edges1/out_edges1 (node -> producers / consumers) with black\n"
        "arrows, graph 2 likewise in red, graph 3 (nodes3, light blue) and graph 4 (nodes4,\n"
        "gray, unlabelled), each laid out with networkx's kamada_kawai_layout; then\n"
        "pyplot.show(). With a non-interactive back end the figure is left open instead.");
  m.def("Tasks_Graph",
        [](nb::handle tasks, nb::handle font, nb::handle fig) {
          traced("Tasks_Graph", [&] { tasks_graph(tasks, font, fig); });
        },
        nb::arg("tasks"), nb::arg("font_size") = 8,
        nb::arg("figure_size") = size,
        "Draw the given tasks (a list of task keys) with their direct neighbours: trigger\n"
        "links in black, in-code links in red, the given tasks light blue, stopped tasks gray.");
}

}  // namespace velkor
