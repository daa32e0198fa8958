"""Draw a fitted context tree to a PNG file.

The tree grows from the root on the left. Each step to the right reads one symbol further into
the past: the first edge is the most recent symbol, the next edge the one before it, and so on.
Every terminal context (the contexts the model predicts from) gets a row on the right with the
context spelled oldest symbol first, the number of times it was seen, and its next-symbol
distribution as a stacked bar.

The picture is built only from what a fitted model reports: `get_contexts` gives the terminal
contexts, every suffix of one is a node on its path from the root, and `get_counts` and
`get_distribution` give each row's numbers.

Run:  python examples/draw_tree.py rain --output rain.png
      python examples/draw_tree.py pewee --method bic --max-depth 4
      python examples/draw_tree.py --file my.txt --alphabet-size 3 --beta 0.99
      python examples/draw_tree.py --bytes notes.txt --remap --method bic --penalty 0.2 --max-depth 1

Needs matplotlib (pip install matplotlib, or pip install '.[examples]').
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

from example_data import (
    DATASETS,
    DataError,
    DataSet,
    add_input_options,
    add_model_options,
    beta_for,
    check_file_options,
    load,
    own_file,
)
from tesk import TESK

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# Okabe-Ito colours, told apart by most colour-blind readers, for up to eight symbols; larger
# alphabets take matplotlib's 20-colour table, repeated beyond 20 symbols.
OKABE_ITO = ("#0072B2", "#E69F00", "#009E73", "#D55E00", "#CC79A7", "#56B4E9", "#F0E442", "#000000")
ROW_INCHES = 0.27
MAX_ROWS = 150
LEGEND_COLUMNS = 6
MAX_LEGEND = 20


@dataclass
class Node:
    context: tuple[int, ...]  # oldest symbol first, as tesk reports contexts
    terminal: bool = False
    children: list[Node] = field(default_factory=list)
    y: float = 0.0

    @property
    def depth(self) -> int:
        return len(self.context)


def build_tree(contexts: list[list[int]]) -> tuple[Node, list[Node]]:
    """The tree spanned by the terminal contexts, and its terminal nodes in drawing order.

    The parent of a context drops its oldest symbol, so every suffix of a terminal context is a
    node. Children are ordered by the symbol they add; a terminal node that also has children
    (possible with peres_shield) takes the row just above its children.
    """
    nodes: dict[tuple[int, ...], Node] = {(): Node(())}
    for context in sorted(contexts, key=len):
        key = tuple(context)
        for start in range(len(key) - 1, -1, -1):
            suffix = key[start:]
            if suffix not in nodes:
                nodes[suffix] = Node(suffix)
                nodes[suffix[1:]].children.append(nodes[suffix])
        nodes[key].terminal = True

    rows: list[Node] = []

    def place(node: Node) -> None:
        node.children.sort(key=lambda child: child.context[0])
        if node.terminal:
            node.y = len(rows)
            rows.append(node)
        for child in node.children:
            place(child)
        if node.children and not node.terminal:
            node.y = (node.children[0].y + node.children[-1].y) / 2

    place(nodes[()])
    return nodes[()], rows


def draw(model: TESK, data: DataSet, subtitle: str, output: Path) -> None:
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    from matplotlib import colormaps
    from matplotlib.colors import to_hex, to_rgb

    symbols = data.symbols
    root, rows = build_tree(model.get_contexts())
    depth = max(row.depth for row in rows)
    if len(symbols) <= len(OKABE_ITO):
        colours = list(OKABE_ITO[: len(symbols)])
    else:
        table = colormaps["tab20"]
        colours = [to_hex(table(s % 20)) for s in range(len(symbols))]
    labels = [f"{data.spell(list(r.context))}  n={model.get_counts(list(r.context)):,}" for r in rows]
    label_chars = max(max(len(label) for label in labels), 16)
    legend_rows = -(-len(symbols) // LEGEND_COLUMNS) if len(symbols) <= MAX_LEGEND else 0

    # Widths and heights in inches: the tree grows with its depth, the labels with their length,
    # and every terminal context gets one row.
    tree_width = 0.55 * max(depth, 1) + 0.35
    label_width = 0.075 * label_chars + 0.15
    bar_width = 2.6
    width = max(tree_width + label_width + bar_width + 0.3, 6.0)
    top, bottom = 0.8 + 0.17 * legend_rows, 0.45
    height = ROW_INCHES * len(rows) + top + bottom
    figure = Figure(figsize=(width, height), dpi=100)
    grid = figure.add_gridspec(
        1, 3, width_ratios=[tree_width, label_width, bar_width], wspace=0.02,
        left=0.15 / width, right=1 - 0.15 / width, top=1 - top / height, bottom=bottom / height,
    )
    tree_axes, label_axes, bar_axes = (figure.add_subplot(grid[0, i]) for i in range(3))
    for axes in (tree_axes, label_axes, bar_axes):
        axes.set_ylim(len(rows) - 0.5, -0.5)
    figure.text(0.5, 1 - 0.08 / height, data.title, ha="center", va="top", fontsize=11)
    figure.text(0.5, 1 - 0.32 / height, subtitle, ha="center", va="top", fontsize=9, color="#444444")

    draw_edges(tree_axes, root, symbols, depth)

    label_axes.set_xlim(0, 1)
    label_axes.axis("off")
    label_axes.text(0.02, -0.75, "context, oldest first", va="bottom", ha="left", fontsize=7, color="#555555")
    for row, label in zip(rows, labels):
        label_axes.text(0.02, row.y, label, va="center", ha="left", family="monospace", fontsize=8)

    for row in rows:
        left = 0.0
        for symbol, p in enumerate(model.get_distribution(list(row.context))):
            bar_axes.barh(row.y, p, left=left, height=0.72, color=colours[symbol], linewidth=0)
            if p >= 0.14:
                red, green, blue = to_rgb(colours[symbol])
                dark = 0.2126 * red + 0.7152 * green + 0.0722 * blue < 0.45
                bar_axes.text(left + p / 2, row.y, f"{p:.0%}", ha="center", va="center", fontsize=7,
                              color="white" if dark else "black")
            left += p
    bar_axes.set_xlim(0, 1)
    bar_axes.set_xticks([0, 0.5, 1], ["0", "0.5", "1"], fontsize=8)
    bar_axes.set_yticks([])
    for side in ("left", "right", "top"):
        bar_axes.spines[side].set_visible(False)
    bar_axes.set_xlabel("next-symbol probabilities", fontsize=8)
    if legend_rows:
        # matplotlib fills a legend column by column; order the entries so that it reads by rows.
        columns = -(-len(symbols) // legend_rows)
        order = [s for column in range(columns) for s in range(column, len(symbols), columns)]
        handles = [Patch(color=colours[s], label=symbols[s]) for s in order]
        bar_axes.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=columns, frameon=False, fontsize=8,
                        handlelength=1.0, columnspacing=0.8, borderaxespad=0.1,
                        title="next symbol", title_fontsize=7, alignment="center")
    figure.savefig(output)


def draw_edges(axes: Axes, root: Node, symbols: tuple[str, ...], depth: int) -> None:
    """Elbow edges from each node to its children, each labelled with the symbol it adds."""
    axes.set_xlim(-0.25, max(depth, 1) + 0.2)
    axes.axis("off")

    def walk(node: Node) -> None:
        x = node.depth
        if node.children:
            ys = [child.y for child in node.children] + ([node.y] if node.terminal else [])
            axes.plot([x, x], [min(ys), max(ys)], color="#555555", linewidth=0.8)
        for child in node.children:
            axes.plot([x, x + 1], [child.y, child.y], color="#555555", linewidth=0.8)
            axes.text(x + 0.5, child.y - 0.08, symbols[child.context[0]], ha="center", va="bottom",
                      fontsize=7, color="#222222")
            walk(child)
        if node.terminal:
            axes.plot([x, depth + 0.2], [node.y, node.y], color="#bbbbbb", linewidth=0.6, linestyle=":")
        axes.plot([x], [node.y], marker="o", markersize=3.5 if node.terminal else 2.5,
                  color="#222222" if node.terminal else "#888888")

    walk(root)
    # The direction in which edges read: the first edge is the most recent symbol.
    if depth >= 2:
        axes.annotate("", xy=(depth - 0.1, -0.85), xytext=(0.1, -0.85), annotation_clip=False,
                      arrowprops={"arrowstyle": "->", "color": "#999999", "linewidth": 0.6})
        axes.text(0.1, -0.95, "most recent", ha="left", va="bottom", fontsize=7, color="#555555")
        axes.text(depth - 0.1, -0.95, "older", ha="right", va="bottom", fontsize=7, color="#555555")
    elif depth == 1:
        axes.text(0.5, -0.95, "most recent", ha="center", va="bottom", fontsize=7, color="#555555")


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Draw a fitted context tree to a PNG file.")
    parser.add_argument("dataset", nargs="?", default="pewee", metavar="DATASET",
                        help=f"example data set: {', '.join(DATASETS)} (default: pewee)")
    add_input_options(parser)
    add_model_options(parser, "bct, bic or peres_shield (default: bct)")
    parser.add_argument("--output", "-o", type=Path,
                        help="PNG file to write (default: DATA-METHOD.png, which git ignores)")
    arguments = parser.parse_args(argv)
    if arguments.dataset not in DATASETS:
        parser.error(f"unknown data set {arguments.dataset!r}; choose from {', '.join(DATASETS)}")
    check_file_options(parser, arguments)
    return arguments


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    try:
        data, series = load(own_file(arguments) or DATASETS[arguments.dataset], arguments.remap)
        model = TESK(data.alphabet_size, method=arguments.method or "bct",
                     max_depth=data.max_depth if arguments.max_depth is None else arguments.max_depth,
                     beta=beta_for(data.alphabet_size, arguments.method, arguments.beta),
                     penalty=arguments.penalty)
        model.fit([series])
    except DataError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except ValueError as error:  # a parameter tesk refuses: an unknown method, a huge depth
        print(f"error: {error}", file=sys.stderr)
        return 2

    if model.context_count > MAX_ROWS:
        print(f"error: the {model.method} tree has {model.context_count} contexts, too many to draw "
              f"readably (at most {MAX_ROWS}); try a smaller --max-depth, or --method bic with a "
              "larger --penalty", file=sys.stderr)
        return 1
    if importlib.util.find_spec("matplotlib") is None:
        print("error: draw_tree.py needs matplotlib: pip install matplotlib", file=sys.stderr)
        return 1
    output = arguments.output or Path(f"{Path(data.name).stem}-{model.method}.png")
    subtitle = (f"{model.method} tree: {plural(model.context_count, 'context')} "
                f"fitted to {plural(model.sample_size, data.unit)}")
    try:
        draw(model, data, subtitle, output)
    except OSError as error:
        print(f"error: cannot write {output}: {error.strerror or error}", file=sys.stderr)
        return 1
    deepest = max(len(c) for c in model.get_contexts())
    print(f"wrote {output}: {plural(model.context_count, 'context')}, the deepest of length {deepest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
