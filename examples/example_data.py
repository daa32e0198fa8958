"""The example data sets under examples/data and a careful reader for symbol files.

A symbol file holds one sequence: decimal integers 0 .. m-1 separated by white space (the files
here have one symbol per line). `read_symbols` refuses anything else with a `DataError` whose
message names the file, the line and the offending text, so that a program can print it and stop
without a traceback.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"


class DataError(Exception):
    """A symbol file that is missing, unreadable or holds something other than symbols."""


@dataclass(frozen=True)
class DataSet:
    name: str
    file: str
    title: str
    unit: str  # what one symbol is: "base", "day", ...
    symbols: tuple[str, ...]  # a short label for each symbol, index = symbol
    meaning: str  # one line on what the symbols stand for
    max_depth: int  # a sensible longest context for this series

    @property
    def alphabet_size(self) -> int:
        return len(self.symbols)

    @property
    def path(self) -> Path:
        return DATA_DIR / self.file

    def load(self) -> list[int]:
        return read_symbols(self.path, self.alphabet_size)


DATASETS: dict[str, DataSet] = {
    data.name: data
    for data in (
        DataSet(
            name="sars-cov-2",
            file="sars_cov_2.txt",
            title="SARS-CoV-2 genome (GenBank MN908947.3)",
            unit="base",
            symbols=("A", "C", "G", "T"),
            meaning="nucleotides A, C, G, T",
            max_depth=10,
        ),
        DataSet(
            name="bnrf1",
            file="bnrf1_epstein_barr.txt",
            title="BNRF1 gene of the Epstein-Barr virus",
            unit="base",
            symbols=("A", "C", "G", "T"),
            meaning="nucleotides A, C, G, T",
            max_depth=10,
        ),
        DataSet(
            name="rain",
            file="melbourne_rain.txt",
            title="Daily rainfall in Melbourne, 1981-1990",
            unit="day",
            symbols=("0", "1", "2", "3"),
            meaning="0 dry, 1 light (1-18), 2 moderate (19-50), 3 heavy (over 50)",
            max_depth=6,
        ),
        DataSet(
            name="el-nino",
            file="el_nino.txt",
            title="El Nino events, 1525-2020",
            unit="year",
            symbols=("-", "E"),
            meaning="- no event, E an El Nino year",
            max_depth=8,
        ),
        DataSet(
            name="pewee",
            file="pewee.txt",
            title="Song of a wood pewee",
            unit="phrase",
            symbols=("0", "1", "2"),
            meaning="the three phrase types of the song",
            max_depth=6,
        ),
        DataSet(
            name="sp500",
            file="sp500.txt",
            title="Daily changes of the S&P 500 index, 1928-2016",
            unit="day",
            symbols=("0", "1", "2", "3", "4", "5", "6"),
            meaning="seven classes of change from 0 (fell over 3 %) through 3 (moved under 1 %) "
                    "to 6 (rose over 3 %)",
            max_depth=6,
        ),
    )
}


def read_symbols(path: Path, alphabet_size: int) -> list[int]:
    """Read one sequence of symbols 0 .. alphabet_size-1 from a white-space separated file."""
    try:
        text = path.read_text(encoding="ascii", errors="replace")
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except OSError as error:
        raise DataError(f"{path}: cannot read it ({error.strerror or error})") from None
    symbols: list[int] = []
    for line_number, line in enumerate(text.splitlines(), start=1):
        for token in line.split():
            if not (token.isascii() and token.isdigit()) or int(token) >= alphabet_size:
                raise DataError(
                    f"{path}, line {line_number}: {token!r} is not a symbol; "
                    f"expected an integer 0..{alphabet_size - 1}"
                )
            symbols.append(int(token))
    if not symbols:
        raise DataError(f"{path}: the file holds no symbols")
    return symbols


def spell(context: list[int], symbols: tuple[str, ...]) -> str:
    """A context as its labels, oldest first: "ACG" when every label is one character, else "10 2 7"."""
    if not context:
        return "(root)"
    separator = "" if all(len(label) == 1 for label in symbols) else " "
    return separator.join(symbols[s] for s in context)


def check_file_options(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """Refuse inconsistent --file, --alphabet-size and --max-depth options with a usage error."""
    if (arguments.file is None) != (arguments.alphabet_size is None):
        parser.error("--file and --alphabet-size go together")
    if arguments.alphabet_size is not None and arguments.alphabet_size < 2:
        parser.error("--alphabet-size must be at least 2")
    if arguments.max_depth is not None and arguments.max_depth < 0:
        parser.error("--max-depth must not be negative")
