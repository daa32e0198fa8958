"""Fit the three tree selectors to real data and compare them on held-out data.

Each series is split in time: the selectors are fitted to its first 80 %, and the last 20 % is
scored by the predictive log-loss, the average number of bits that `predict_proba` needs to
encode each held-out symbol (lower is better; a uniform guess costs log2(alphabet size)).

Run:  python examples/compare_selectors.py                 (all example data sets)
      python examples/compare_selectors.py rain el-nino    (some of them)
      python examples/compare_selectors.py --file my.txt --alphabet-size 3
      python examples/compare_selectors.py --bytes book.txt --remap --beta 0.99 --penalty 0.05 --max-depth 4
      python examples/compare_selectors.py sp500 --method bct,bic --beta 0.99 --penalty 0.25

--beta applies to bct and --penalty to bic; the other selectors ignore them.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Sequence
from dataclasses import dataclass

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

METHODS = ("bct", "bic", "peres_shield")
TRAIN_SHARE = 0.8


@dataclass
class Result:
    method: str
    model: TESK
    log_loss: float  # bits per held-out symbol


def log_loss_bits(model: TESK, series: Sequence[int], start: int) -> float:
    """Average -log2 P(next symbol | history) over series[start:], from `predict_proba`.

    Only as many symbols as the longest context can matter, so that is all each prediction is
    given; the history of the first held-out symbols reaches into the training part.
    """
    depth = max(map(len, model.get_contexts()))
    bits = 0.0
    for i in range(start, len(series)):
        bits -= math.log2(model.predict_proba(series[max(0, i - depth) : i])[series[i]])
    return bits / (len(series) - start)


def root_log_loss_bits(model: TESK, series: Sequence[int], start: int) -> float:
    """The same score for the symbol frequencies alone (the root's distribution, no context)."""
    root = model.get_distribution([])
    return -sum(math.log2(root[s]) for s in series[start:]) / (len(series) - start)


def compare(data: DataSet, series: list[int], max_depth: int, methods: Sequence[str],
            beta: float | None = None, penalty: float | None = None) -> list[Result] | None:
    """Fit, score and describe the selectors on one series; None when it is too short."""
    models = [
        TESK(data.alphabet_size, max_depth=max_depth, method=method,
             beta=beta_for(data.alphabet_size, method, beta) if method == "bct" else None,
             penalty=penalty if method == "bic" else None)
        for method in methods
    ]
    split = int(len(series) * TRAIN_SHARE)
    unit = data.unit
    print(f"== {data.title}: {plural(len(series), unit)}" + (f"; {data.meaning}" if data.meaning else ""))
    if split <= max_depth or split == len(series):
        print(f"   too short to hold out a fifth of it with contexts of up to {max_depth}\n")
        return None
    print(f"   fitted to the first {plural(split, unit)}, scored on the last {len(series) - split:,}; "
          f"contexts of up to {max_depth}")

    results = []
    for method, model in zip(methods, models):
        model.fit([series[:split]])
        results.append(Result(method, model, log_loss_bits(model, series, split)))
    baseline = root_log_loss_bits(results[0].model, series, split)

    print(f"\n   {'selector':<14}{'positions':>10}{'contexts':>10}{'longest':>9}   held-out log-loss")
    for r in results:
        longest = max(len(c) for c in r.model.get_contexts())
        print(f"   {r.method:<14}{r.model.sample_size:>10,}{r.model.context_count:>10,}{longest:>9}"
              f"   {r.log_loss:.4f} bits/{unit}")
    print(f"   {'no context':<14}{'':>10}{1:>10}{0:>9}   {baseline:.4f} bits/{unit}"
          "  (symbol frequencies alone)")
    print(f"   {'uniform guess':<14}{'':>29}   {math.log2(data.alphabet_size):.4f} bits/{unit}")

    print(f"\n   deepest contexts (oldest first; n = times seen in training; likeliest next symbol):")
    for r in results:
        print(f"     {r.method:<14}{describe_deepest(r.model, data)}")

    best = min(results, key=lambda r: r.log_loss)
    smallest = min(results, key=lambda r: r.model.context_count)
    print()
    if all(r.model.context_count == 1 for r in results):
        print("   no selector finds a context worth keeping: at this length the series looks memoryless")
    else:
        print(f"   best prediction: {best.method}, {baseline - best.log_loss:.4f} bits/{unit} "
              "better than the symbol frequencies alone")
        if smallest.model.context_count < best.model.context_count:
            print(f"   smallest tree: {smallest.method}, {plural(smallest.model.context_count, 'context')}, "
                  f"{smallest.log_loss - best.log_loss:.4f} bits/{unit} behind")
    print()
    return results


def summarise(table: list[tuple[str, list[Result]]]) -> None:
    """One line per data set: each selector's held-out log-loss and tree size, the best marked."""
    print("== Summary: held-out log-loss in bits per symbol (contexts in brackets; * = best)")
    print(f"   {'data set':<14}" + "".join(f"{r.method:>18}" for r in table[0][1]))
    for name, results in table:
        best = min(r.log_loss for r in results)
        cells = [f"{r.log_loss:.4f}{'*' if r.log_loss == best else ' '} ({r.model.context_count})"
                 for r in results]
        print(f"   {name:<14}" + "".join(f"{cell:>18}" for cell in cells))


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def describe_deepest(model: TESK, data: DataSet, limit: int = 3) -> str:
    contexts = model.get_contexts()
    deepest = max(len(c) for c in contexts)
    chosen = [c for c in contexts if len(c) == deepest]
    chosen.sort(key=model.get_counts, reverse=True)  # the best supported first
    parts = []
    for context in chosen[:limit]:
        distribution = model.get_distribution(context)
        likeliest = max(range(len(distribution)), key=distribution.__getitem__)
        parts.append(
            f"{data.spell(context)} n={model.get_counts(context)} "
            f"-> {data.spell([likeliest]) if data.raw_bytes else data.symbols[likeliest]} "
            f"{distribution[likeliest]:.2f}"
        )
    more = f"  (+{len(chosen) - limit} more of length {deepest})" if len(chosen) > limit else ""
    return "; ".join(parts) + more


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Fit the three tree selectors to real data and compare them on held-out data."
    )
    parser.add_argument(
        "datasets", nargs="*", metavar="DATASET",
        help=f"example data sets to use: {', '.join(DATASETS)} (default: all)",
    )
    add_input_options(parser)
    add_model_options(parser, "selectors to compare, separated by commas (default: bct,bic,peres_shield)")
    arguments = parser.parse_args(argv)
    for name in arguments.datasets:
        if name not in DATASETS:
            parser.error(f"unknown data set {name!r}; choose from {', '.join(DATASETS)}")
    check_file_options(parser, arguments)
    arguments.methods = METHODS
    if arguments.method is not None:
        try:  # tesk checks the names and knows their spellings
            arguments.methods = [TESK(2, method=name).method for name in arguments.method.split(",")]
        except ValueError as error:
            parser.error(str(error))
    return arguments


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    own = own_file(arguments)
    jobs = [own] if own is not None else []
    names = arguments.datasets or ([] if jobs else list(DATASETS))
    jobs += [DATASETS[name] for name in names]

    table = []
    for job in jobs:
        try:
            data, series = load(job, arguments.remap)
            max_depth = data.max_depth if arguments.max_depth is None else arguments.max_depth
            results = compare(data, series, max_depth, arguments.methods, arguments.beta, arguments.penalty)
        except DataError as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        except ValueError as error:  # a model parameter tesk refuses, such as a huge --max-depth
            print(f"error: {error}", file=sys.stderr)
            return 2
        if results is not None:
            table.append((data.name, results))
    if len(table) > 1:
        summarise(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
