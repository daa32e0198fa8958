# Type information for the compiled module `tesk`.
#
# The wheel installs this directory as the stub-only package `tesk-stubs` next to the extension
# module, where mypy and pyright look for it (a `tesk.pyi` beside a single-module extension is
# not picked up by mypy from site-packages).

from collections.abc import Iterator, Sequence
from typing import (
    Any,
    Final,
    Literal,
    Protocol,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    final,
    type_check_only,
)

__all__ = ["TESK", "__version__"]

__version__: Final[str]

@type_check_only
class _IntegerArray(Protocol):
    # A NumPy-style array (anything with `__array__`) whose elements are integers. Arrays are
    # sequences at run time, but array libraries do not declare themselves as `Sequence`.
    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...

# One sequence of symbols in time order, oldest first: a list, tuple, range, bytes, bytearray or
# one-dimensional integer array. A `str` is refused at run time and is not a `_Symbols` either.
_Symbols: TypeAlias = Sequence[SupportsIndex] | _IntegerArray

# Training rows: a sequence of symbol sequences, or a two-dimensional integer array.
_Rows: TypeAlias = Sequence[_Symbols] | _IntegerArray

# The selector names that `TESK` accepts, as editors should offer them. The parameter still takes
# any `str`: the constructor also accepts case and surrounding white-space variants (" BIC ",
# "PS") and refuses unknown names with a ValueError at run time.
_MethodName: TypeAlias = Literal["bct", "bic", "peres_shield", "peres-shield", "ps"]

@final
class TESK:
    """Variable-length Markov-chain estimator with interchangeable tree selectors."""

    def __new__(
        cls,
        alphabet_size: SupportsIndex,
        max_depth: SupportsIndex = 10,
        method: _MethodName | str = "bct",
        beta: SupportsFloat | SupportsIndex | None = None,
        penalty: SupportsFloat | SupportsIndex | None = None,
        boundary: Literal["condition"] | str = "condition",
    ) -> Self: ...
    def fit(self, data: _Rows) -> None:
        """Fit a fresh model. Rows are independent sequences and are never joined."""

    def get_suffix(self, sequence: _Symbols) -> list[int]:
        """Return the selected context suffix, or an aggregate prefix when the
        supplied history is shorter than the selected context."""

    def get_counts(self, sequence: _Symbols) -> int:
        """Return the number of usable outcomes observed after an active tree node."""

    def get_transition_counts(self, sequence: _Symbols) -> list[int]:
        """Return unsmoothed next-symbol counts in alphabet order."""

    def get_distribution(self, sequence: _Symbols) -> list[float]:
        """Return Jeffreys-smoothed transition probabilities for an active node."""

    def predict_proba(self, history: _Symbols) -> list[float]:
        """Select a context from `history` and return its transition probabilities."""

    def get_contexts(self) -> list[list[int]]:
        """Return terminal contexts only, ordered first by length and then lexically."""

    @property
    def method(self) -> Literal["bct", "bic", "peres_shield"]:
        """The selector, by its canonical name."""

    @property
    def boundary(self) -> Literal["condition"]:
        """How the start of each row is handled: its first `max_depth` symbols only condition."""

    @property
    def alphabet_size(self) -> int:
        """The number of symbols; symbols are 0 .. alphabet_size - 1."""

    @property
    def max_depth(self) -> int:
        """The configured maximum context length."""

    @property
    def sample_size(self) -> int:
        """The number of counted positions of the last fit (RuntimeError before a fit)."""

    @property
    def effective_max_depth(self) -> int:
        """The context depth the last fit used (RuntimeError before a fit)."""

    @property
    def node_count(self) -> int:
        """The number of nodes of the fitted tree, root included (RuntimeError before a fit)."""

    @property
    def context_count(self) -> int:
        """The number of terminal contexts of the fitted tree (RuntimeError before a fit)."""
