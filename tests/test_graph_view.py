"""The graph view, drawn headless with the Agg back end and checked on the
figure it leaves open: nodes by layer and colour, arrows by colour and
direction, labels, figure size, and the failures raised before drawing."""
import io
import traceback
import warnings

import matplotlib
import numpy as np
import pytest
from matplotlib import colors, pyplot

from velkor import velkor as V
from velkor import velkor_state as S
from velkor.velkor import Task_draw_directed_graph_with_two_colors as draw
from velkor.velkor import Tasks_Graph, async_task

from helpers import key

LIGHTGREEN, LIGHTBLUE, GRAY = (colors.to_rgba(c) for c in ("lightgreen", "lightblue", "gray"))
BLACK, RED = colors.to_rgba("black"), colors.to_rgba("red")


@pytest.fixture(autouse=True)
def headless():
    matplotlib.use("Agg")  # pyplot is imported already (by the engine): this switches it
    pyplot.close("all")
    yield
    pyplot.close("all")


@pytest.fixture
def tasks(make_runner):
    """tasks("a", "b", ...) -> their keys, tasks registered on one runner."""
    runner = make_runner()

    def make(*names):
        for name in names:
            async_task(loop_thread=runner.name, name=name)
        return [key(name) for name in names]

    return make


def view():
    """What the one open figure shows: its size, label sizes, node layers as
    (colour, sorted node names) in drawing order, and arrows as (colour, from,
    to). Layers are drawn separately, so two nodes may share a place: a layer
    is named by the labels drawn with it (in the same node order), the
    unlabelled gray one by the places of the light blue nodes under it."""
    assert len(pyplot.get_fignums()) == 1
    fig = pyplot.gcf()
    ax = fig.axes[0]
    labels = [(t.get_text(), tuple(t.get_position())) for t in ax.texts]
    pos = dict(labels)
    assert len(pos) == len(set(labels))  # one place per node, whatever the layer
    layers, next_label = [], 0
    for coll in ax.collections:
        (colour,) = {tuple(c) for c in coll.get_facecolors()}
        places = [tuple(p) for p in coll.get_offsets()]
        if colour == GRAY:  # stopped tasks, drawn light blue underneath
            blue = {n for c, names in layers if c == LIGHTBLUE for n in names}
            names = [name for p in places for name in _at(pos, p) & blue]
        else:
            drawn = labels[next_label:next_label + len(places)]
            next_label += len(places)
            assert [p for _, p in drawn] == places
            names = [name for name, _ in drawn]
        layers.append((colour, sorted(names)))
    assert next_label == len(labels)
    arrows = []
    for patch in ax.patches:
        # the arrow's path moves to its start at the source; its curve ends at the target
        vertices = patch.get_path().vertices
        arrows.append((tuple(patch.get_edgecolor()), _at(pos, vertices[0]), _at(pos, vertices[2])))
    return {"size": tuple(fig.get_size_inches()), "font_sizes": {t.get_fontsize() for t in ax.texts},
            "layers": layers, "arrows": arrows, "pos": pos}


def _at(pos, point):
    """The nodes placed nearest to `point`."""
    distance = {k: np.hypot(*np.subtract(p, point)) for k, p in pos.items()}
    return {k for k, d in distance.items() if d <= min(distance.values()) + 1e-9}


def arrows_are(v, expected):
    """Every arrow drawn is one of `expected` (colour, from, to), each once."""
    left = list(expected)
    for colour, sources, targets in v["arrows"]:
        match = [e for e in left if e[0] == colour and e[1] in sources and e[2] in targets]
        assert match, (colour, sources, targets)
        left.remove(match[0])
    assert left == []


def short(key):
    return key.split(",")[1]


def test_tasks_and_neighbours_are_drawn_by_link_kind_with_stopped_tasks_gray(tasks):
    a, b, c, p, q, _ = tasks("a", "b", "c", "p", "q", "unrelated")
    S.Tasks[a].insert_input_tasks([p])
    S.Tasks[a].insert_output_tasks([b])
    S.Tasks[a].insert_incode_output_tasks([c])
    S.Tasks[a].insert_incode_input_tasks([q])
    S.Tasks[c].stop()
    links = [(t.input_tasks.copy(), t.output_tasks.copy(), t.incode_input_tasks.copy(),
              t.incode_output_tasks.copy()) for t in S.Tasks.values()]

    with warnings.catch_warnings():
        warnings.simplefilter("error")  # headless: no "cannot be shown" warning
        assert Tasks_Graph([a], font_size=6, figure_size=(6, 3)) is None

    v = view()
    assert v["size"] == (6, 3) and v["font_sizes"] == {6}
    # trigger graph, in-code graph, the given and stopped tasks, the stopped tasks
    assert [(colour, [short(k) for k in keys]) for colour, keys in v["layers"]] == [
        (LIGHTGREEN, ["a", "b", "p"]), (LIGHTGREEN, ["a", "c", "q"]),
        (LIGHTBLUE, ["a", "c"]), (GRAY, ["c"])]
    assert sorted(v["pos"]) == [a, b, c, p, q]
    arrows_are(v, [(BLACK, p, a), (BLACK, a, b), (RED, q, a), (RED, a, c)])
    # the figure stays open for the caller and can be saved
    out = io.BytesIO()
    pyplot.gcf().savefig(out, format="png")
    assert out.getvalue().startswith(b"\x89PNG")
    # nothing was changed on the way
    assert [(t.input_tasks, t.output_tasks, t.incode_input_tasks,
             t.incode_output_tasks) for t in S.Tasks.values()] == links
    assert [t.stop_flag for t in S.Tasks.values()] == [0, 0, 1, 0, 0, 0]


def test_a_link_between_given_tasks_is_drawn_once_in_the_default_figure(tasks):
    a, b = tasks("a", "b")
    S.Tasks[a].insert_output_tasks([b])  # seen as a's output and as b's input
    S.Tasks[b].stop()
    Tasks_Graph([a, b])
    v = view()
    assert v["size"] == (8, 4) and v["font_sizes"] == {8}
    arrows_are(v, [(BLACK, a, b)])
    assert v["layers"] == [(LIGHTGREEN, [a, b]), (LIGHTGREEN, [a, b]), (LIGHTBLUE, [a, b]),
                           (GRAY, [b])]


def test_an_empty_task_list_draws_an_empty_figure():
    Tasks_Graph([])
    fig = pyplot.gcf()
    assert pyplot.get_fignums() == [1] and tuple(fig.get_size_inches()) == (8, 4)
    ax = fig.axes[0]
    assert len(ax.collections) == len(ax.patches) == len(ax.texts) == 0


def test_the_drawing_function_alone_draws_two_graphs_by_default():
    defaults = draw.__nb_signature__[0][2]
    nodes3, nodes4 = defaults[0], defaults[1]
    assert nodes3 == [] and nodes4 == [] and nodes3 is not nodes4
    given = ["x", "y"]
    for _ in range(2):
        draw(("x", "y"), {"y": ["x"]}, {}, {"x", "z"}, {}, {"x": ["z"]})
        v = view()
        assert v["size"] == (8, 4) and v["font_sizes"] == {8}
        assert v["layers"] == [(LIGHTGREEN, ["x", "y"]), (LIGHTGREEN, ["x", "z"])]
        arrows_are(v, [(BLACK, "x", "y"), (RED, "x", "z")])
        pyplot.close("all")
        # and with the last two graphs given
        draw(["x"], {}, {}, [], {}, {}, given, ["y"], font_size=5, figure_size=(4, 2))
        v = view()
        assert v["size"] == (4, 2) and v["font_sizes"] == {5} and v["arrows"] == []
        # an empty graph draws nothing at all
        assert v["layers"] == [(LIGHTGREEN, ["x"]), (LIGHTBLUE, ["x", "y"]), (GRAY, ["y"])]
        pyplot.close("all")
    defaults = draw.__nb_signature__[0][2]
    assert defaults[0] is nodes3 and defaults[1] is nodes4
    assert nodes3 == [] and nodes4 == [] and given == ["x", "y"]


def test_an_unregistered_key_raises_before_anything_is_drawn(tasks):
    (a,) = tasks("a")
    with pytest.raises(KeyError, match="node_0,nobody") as raised:
        Tasks_Graph([a, "node_0,nobody"])
    # the error names the engine's function in its traceback
    last = traceback.extract_tb(raised.value.__traceback__)[-1]
    assert (last.filename, last.name) == (V.__file__, "Tasks_Graph")
    S.Tasks[a].incode_output_tasks.add("node_0,ghost")  # a link to a task gone
    try:
        with pytest.raises(KeyError, match="node_0,ghost"):
            Tasks_Graph([a])
    finally:
        S.Tasks[a].incode_output_tasks.discard("node_0,ghost")
    assert pyplot.get_fignums() == []
