"""Score, predict and sample with a fitted model, and tune it on held-out data.

The series is split in time: models are fitted to its first 80 % and scored on the last 20 % by
the held-out log-loss, the average number of bits that `predict_proba` needs to encode each
held-out symbol (lower is better). The program

1. fits one model (tesk's defaults, or what --method, --beta, --penalty and --max-depth say),
   predicts every held-out symbol into one NumPy array, and scores the model from that array;
2. fits a grid of `max_depth` and `beta` (bct) or `penalty` (bic) values and picks the setting
   with the lowest held-out log-loss;
3. samples a continuation of the series from the chosen model.

Everything goes through the public methods. Each prediction is given only as many symbols of its
history as the longest context of the fitted tree, the only ones that can matter, so every loop
costs the same per symbol however long the series or `max_depth` is.

Run:  python examples/score_and_sample.py                    (daily S&P 500 changes)
      python examples/score_and_sample.py pewee --method bic --penalty 0.5
      python examples/score_and_sample.py --file my.txt --alphabet-size 5 --max-depth 4
      python examples/score_and_sample.py --bytes book.txt --remap --beta 0.99 --no-tune

Needs NumPy (pip install numpy, or pip install '.[examples]').
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import random
import sys
from collections.abc import Sequence
from dataclasses import dataclass
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
    import numpy as np
    import numpy.typing as npt

TRAIN_SHARE = 0.8
GRID_DEPTHS = (1, 2, 3, 4, 6, 10)
GRID_BETAS = (None, 0.5, 0.99, 0.9999)  # None: tesk's default, where the alphabet allows one
GRID_PENALTIES = (0.01, 0.1, 0.25, 1.0)
SHOWN = 60  # sampled symbols printed


def recent(series: Sequence[int], end: int, depth: int) -> Sequence[int]:
    """The history of series[end] that a model of this depth can use: at most `depth` symbols."""
    return series[max(0, end - depth) : end]


def next_symbol_probabilities(model: TESK, series: Sequence[int], start: int) -> npt.NDArray[np.float64]:
    """Row i: the model's distribution of series[start + i], given the symbols before it.

    The array is allocated once and filled row by row, so that memory holds only the result.
    """
    import numpy as np

    depth = max(map(len, model.get_contexts()))  # all of a history that can matter
    probabilities = np.empty((len(series) - start, model.alphabet_size))
    for row, i in enumerate(range(start, len(series))):
        probabilities[row] = model.predict_proba(recent(series, i, depth))
    return probabilities


def log_loss_bits(model: TESK, series: Sequence[int], start: int) -> float:
    """Average -log2 P(series[i] | what came before) over i >= start, one query at a time."""
    depth = max(map(len, model.get_contexts()))  # all of a history that can matter
    bits = 0.0
    for i in range(start, len(series)):
        bits -= math.log2(model.predict_proba(recent(series, i, depth))[series[i]])
    return bits / (len(series) - start)


def sample(model: TESK, length: int, rng: random.Random, history: Sequence[int] = ()) -> list[int]:
    """`length` symbols drawn one at a time from the model, continuing `history`."""
    depth = max(map(len, model.get_contexts()))  # all of a history that can matter
    symbols = range(model.alphabet_size)
    drawn = list(history[len(history) - depth :] if depth else [])
    for _ in range(length):
        drawn.append(rng.choices(symbols, weights=model.predict_proba(recent(drawn, len(drawn), depth)))[0])
    return drawn[len(drawn) - length :]


@dataclass
class Trial:
    method: str
    value: float | None  # beta for bct, penalty for bic; None for tesk's default
    max_depth: int
    model: TESK
    log_loss: float

    @property
    def setting(self) -> str:
        name = "beta" if self.method == "bct" else "penalty"
        if self.value is None:
            default = self.model.method == "bct" and 1 - 2.0 ** -(self.model.alphabet_size - 1)
            return f"{self.method}, {name} default" + (f" ({default:.4g})" if default else "")
        return f"{self.method}, {name} {self.value:g}"


def tune(data: DataSet, series: list[int], split: int) -> list[Trial]:
    """Every setting of the grid, fitted to series[:split] and scored on the rest."""
    settings: list[tuple[str, float | None]] = [("bct", beta) for beta in GRID_BETAS]
    settings += [("bic", penalty) for penalty in GRID_PENALTIES]
    trials = []
    for method, value in settings:
        for max_depth in GRID_DEPTHS:
            beta, penalty = (value, None) if method == "bct" else (None, value)
            try:
                model = TESK(data.alphabet_size, max_depth=max_depth, method=method, beta=beta, penalty=penalty)
            except ValueError:  # no default beta for this alphabet
                break
            model.fit([series[:split]])
            trials.append(Trial(method, value, max_depth, model, log_loss_bits(model, series, split)))
    return trials


def print_grid(trials: list[Trial], unit: str) -> Trial:
    """The grid as a table, one row per setting and one column per max_depth; returns the best.

    The best has the lowest log-loss as printed, to four decimals; a tie goes to the smaller tree.
    """
    best = min(trials, key=lambda t: (round(t.log_loss, 4), t.model.context_count))
    print(f"   held-out log-loss in bits/{unit} (* = lowest)")
    print(f"   {'max_depth':<26}" + "".join(f"{d:>8} " for d in GRID_DEPTHS).rstrip())
    rows: dict[str, list[Trial]] = {}
    for trial in trials:
        rows.setdefault(trial.setting, []).append(trial)
    for setting, row in rows.items():
        cells = "".join(f"{t.log_loss:>8.4f}{'*' if t is best else ' '}" for t in row)
        print(f"   {setting:<26}{cells}".rstrip())
    return best


def describe(alphabet_size: int, parameters: dict[str, object]) -> str:
    """The constructor call that makes a model, as the user would write it."""
    return f"TESK({', '.join([str(alphabet_size)] + [f'{k}={v!r}' for k, v in parameters.items()])})"


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def show(data: DataSet, symbols: Sequence[int]) -> str:
    if data.raw_bytes:
        return "".join(data.symbols[s] for s in symbols)
    return data.spell(list(symbols))


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    if importlib.util.find_spec("numpy") is None:
        print("error: score_and_sample.py needs NumPy: pip install numpy", file=sys.stderr)
        return 1
    try:
        data, series = load(own_file(arguments) or DATASETS[arguments.dataset], arguments.remap)
        given = {name: getattr(arguments, name) for name in ("max_depth", "method", "beta", "penalty")}
        given["beta"] = beta_for(data.alphabet_size, arguments.method, arguments.beta)
        parameters = {name: value for name, value in given.items() if value is not None}
        model = TESK(data.alphabet_size, **parameters)
    except DataError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except ValueError as error:  # a parameter tesk refuses
        print(f"error: {error}", file=sys.stderr)
        return 2
    split = int(len(series) * TRAIN_SHARE)
    unit = data.unit
    print(f"== {data.title}: {len(series):,} {unit}s" + (f"; {data.meaning}" if data.meaning else ""))
    if split <= model.max_depth or split == len(series):
        print(f"error: {data.file} is too short to hold out a fifth of it with contexts of up to "
              f"{model.max_depth}", file=sys.stderr)
        return 1
    print(f"   fitted to the first {split:,} {unit}s, scored on the last {len(series) - split:,}\n")

    # 1. One model: batch prediction and its score.
    import numpy as np

    model.fit([series[:split]])
    probabilities = next_symbol_probabilities(model, series, split)
    outcomes = np.asarray(series[split:])
    loss = float(-np.log2(probabilities[np.arange(len(outcomes)), outcomes]).mean())
    frequencies = model.get_distribution([])
    baseline = -sum(math.log2(frequencies[s]) for s in series[split:]) / (len(series) - split)
    print(f"   {describe(data.alphabet_size, parameters)}: {plural(model.context_count, 'context')}")
    print(f"   next-symbol probabilities of the held-out {unit}s, an array of shape {probabilities.shape}; "
          "the first rows:")
    with np.printoptions(precision=4, suppress=True, linewidth=100, threshold=50, edgeitems=4):
        print("   " + str(probabilities[:2]).replace("\n", "\n   "))
    print(f"   held-out log-loss {loss:.4f} bits/{unit}; symbol frequencies alone {baseline:.4f}, "
          f"uniform guess {math.log2(data.alphabet_size):.4f}\n")

    # 2. Tuning on the held-out part.
    chosen = model
    if not arguments.no_tune:
        best = print_grid(tune(data, series, split), unit)
        chosen = best.model
        print(f"   lowest: {best.setting}, max_depth {best.max_depth}: {best.log_loss:.4f} bits/{unit} "
              f"with {plural(best.model.context_count, 'context')}, against {loss:.4f} for "
              f"{describe(data.alphabet_size, parameters)}")
        print("   (the held-out part chose it, so that figure is optimistic: confirm on data kept apart)\n")

    # 3. A sampled continuation of the series.
    drawn = sample(chosen, arguments.length, random.Random(arguments.seed), series)
    print(f"   {arguments.length:,} {unit}s sampled from {'the lowest' if chosen is not model else 'this'} "
          f"model (seed {arguments.seed}), continuing the series; the first {min(SHOWN, len(drawn))}:")
    print(f"   {show(data, drawn[:SHOWN])}")
    if data.alphabet_size <= 12:
        print(f"   {'symbol':<10}" + "".join(f"{label:>7}" for label in data.symbols))
        for name, part in (("series", series), ("sample", drawn)):
            shares = [part.count(s) / len(part) for s in range(data.alphabet_size)]
            print(f"   {name:<10}" + "".join(f"{share:>7.1%}" for share in shares))
    return 0


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Score, predict and sample with a fitted model, and tune it on held-out data."
    )
    parser.add_argument("dataset", nargs="?", default="sp500", metavar="DATASET",
                        help=f"example data set: {', '.join(DATASETS)} (default: sp500)")
    add_input_options(parser)
    add_model_options(parser, "bct, bic or peres_shield (default: bct)")
    parser.add_argument("--no-tune", action="store_true", help="skip the grid")
    parser.add_argument("--length", type=int, default=2000, help="symbols to sample (default: 2000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the sampler (default: 1)")
    arguments = parser.parse_args(argv)
    if arguments.dataset not in DATASETS:
        parser.error(f"unknown data set {arguments.dataset!r}; choose from {', '.join(DATASETS)}")
    if arguments.length < 1:
        parser.error("--length must be at least 1")
    check_file_options(parser, arguments)
    return arguments


if __name__ == "__main__":
    sys.exit(main())
