"""The example data sets under examples/data, careful readers for your own files, and the
command-line options that the example programs share.

A symbol file holds one sequence: decimal integers from 0 to m-1 separated by white space (the files
here have one symbol per line). A bytes file is any file at all, read byte by byte: each byte is a
symbol from 0 to 255. The readers refuse anything else with a `DataError` whose message names the file,
the line and the offending text, so that a program can print it and stop without a traceback.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, replace
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
# bct's beta where TESK has no default: on English text it predicted best, or within a
# thousandth of a bit per byte of the best, at alphabet 256 and renumbered alike.
LARGE_ALPHABET_BETA = 0.99


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
    raw_bytes: bool = False  # read byte by byte, not as written integers
    directory: Path = DATA_DIR  # where `file` is; the working directory for your own files

    @property
    def alphabet_size(self) -> int:
        return len(self.symbols)

    def spell(self, context: list[int]) -> str:
        """A context as its labels, oldest first: "ACG" when every label is one character, else
        "10 2 7"; bytes as in a bytes literal, 'th\\n'."""
        if not context:
            return "(root)"
        if self.raw_bytes:
            return "'" + "".join(self.symbols[s] for s in context) + "'"
        separator = "" if all(len(label) == 1 for label in self.symbols) else " "
        return separator.join(self.symbols[s] for s in context)

    @property
    def path(self) -> Path:
        return self.directory / self.file

    def load(self) -> list[int]:
        return load(self)[1]


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
    """Read one sequence of symbols from 0 to alphabet_size-1 from a white-space separated file."""
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
                # A token that is no number at all usually means text or binary data.
                hint = "" if token.isascii() and token.isdigit() else "; for a file of raw bytes use --bytes"
                raise DataError(
                    f"{path}, line {line_number}: {token[:20]!r} is not a symbol; "
                    f"expected an integer from 0 to {alphabet_size - 1}{hint}"
                )
            symbols.append(int(token))
    if not symbols:
        raise DataError(f"{path}: the file holds no symbols")
    return symbols


def read_bytes(path: Path) -> list[int]:
    """Read any file as a sequence of byte values from 0 to 255."""
    try:
        content = path.read_bytes()
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except OSError as error:
        raise DataError(f"{path}: cannot read it ({error.strerror or error})") from None
    if not content:
        raise DataError(f"{path}: the file is empty")
    return list(content)


def byte_label(value: int) -> str:
    """A byte as it appears inside a bytes literal: a, ' ', \\n, \\x00."""
    return repr(bytes([value]))[2:-1]


def remap(data: DataSet, series: list[int]) -> tuple[DataSet, list[int]]:
    """Keep only the symbols that occur, renumbered from 0 to k-1 in the order of their values.

    Outcomes that never occur would otherwise share the smoothing mass of every prediction.
    """
    occurring = sorted(set(series))
    code = {symbol: index for index, symbol in enumerate(occurring)}
    labels = tuple(data.symbols[symbol] for symbol in occurring)
    if len(labels) < 2:
        raise DataError(f"{data.file}: only one distinct symbol occurs; a model needs at least two")
    meaning = f"the {len(labels)} of {data.alphabet_size} symbols that occur, renumbered from 0 to {len(labels) - 1}"
    return replace(data, symbols=labels, meaning=meaning), [code[symbol] for symbol in series]


def add_input_options(parser: argparse.ArgumentParser) -> None:
    """--file, --bytes, --alphabet-size, --remap: where the symbols come from."""
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--file", type=Path,
                        help="your own symbol file: integers from 0 to m-1 separated by white space, one sequence")
    source.add_argument("--bytes", type=Path, dest="bytes_file", metavar="FILE",
                        help="any file, read byte by byte: each byte is a symbol from 0 to 255")
    parser.add_argument("--alphabet-size", type=int,
                        help="number of symbols m in --file (required with it; 256 for --bytes)")
    parser.add_argument("--remap", action="store_true",
                        help="use only the symbols that occur, renumbered from 0 to k-1")


def add_model_options(parser: argparse.ArgumentParser, method_help: str) -> None:
    """--method, --max-depth, --beta, --penalty: the model's parameters."""
    parser.add_argument("--method", help=method_help)
    parser.add_argument("--max-depth", type=int, help="longest context (default: per data set, 10 for a file)")
    parser.add_argument("--beta", type=float,
                        help="bct only: prior weight of a leaf, 0.5 <= beta < 1 "
                        f"(default: tesk's, or {LARGE_ALPHABET_BETA} from 55 symbols on)")
    parser.add_argument("--penalty", type=float, help="bic only: multiplier of the BIC penalty (default 1)")


def check_file_options(parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
    """Refuse inconsistent --file, --bytes, --alphabet-size and --max-depth options with a usage error."""
    if arguments.bytes_file is None and (arguments.file is None) != (arguments.alphabet_size is None):
        parser.error("--file and --alphabet-size go together")
    if arguments.alphabet_size is not None and arguments.alphabet_size < 2:
        parser.error("--alphabet-size must be at least 2")
    if arguments.bytes_file is not None and arguments.alphabet_size is not None and arguments.alphabet_size > 256:
        parser.error("--alphabet-size must be at most 256 with --bytes")
    if arguments.max_depth is not None and arguments.max_depth < 0:
        parser.error("--max-depth must not be negative")


def own_file(arguments: argparse.Namespace) -> DataSet | None:
    """The DataSet that --file or --bytes describes, or None when neither is given."""
    if arguments.bytes_file is not None:
        path: Path = arguments.bytes_file
        size = arguments.alphabet_size or 256
        return DataSet(name=path.name, file=str(path), title=path.name, unit="byte",
                       symbols=tuple(byte_label(b) for b in range(size)), meaning="", max_depth=10,
                       raw_bytes=True, directory=Path())
    if arguments.file is not None:
        path = arguments.file
        return DataSet(name=path.name, file=str(path), title=path.name, unit="symbol",
                       symbols=tuple(str(s) for s in range(arguments.alphabet_size)), meaning="",
                       max_depth=10, directory=Path())
    return None


def load(data: DataSet, remap_symbols: bool = False) -> tuple[DataSet, list[int]]:
    """Read a data set's series, checked against its alphabet; optionally remapped."""
    if data.raw_bytes:
        series = read_bytes(data.path)
        for index, value in enumerate(series):
            if value >= data.alphabet_size:
                raise DataError(f"{data.file}, byte {index}: {value} is not a symbol; "
                                f"expected 0 to {data.alphabet_size - 1}")
    else:
        series = read_symbols(data.path, data.alphabet_size)
    if remap_symbols:
        return remap(data, series)
    return data, series


def beta_for(alphabet_size: int, method: str | None, beta: float | None) -> float | None:
    """The beta to give TESK: the user's; else LARGE_ALPHABET_BETA where bct has no default."""
    if beta is not None or (method or "bct").strip().lower() != "bct":
        return beta
    # From 55 symbols on, the default 1 - 2**-(alphabet_size - 1) rounds to 1 and TESK refuses it.
    return LARGE_ALPHABET_BETA if 1 - 2.0 ** -(alphabet_size - 1) == 1 else None
