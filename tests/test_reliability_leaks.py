"""Every entry point, on its success path and on each of its failure paths, repeated tens of
thousands of times: no reference is kept or dropped, and neither Python's allocated blocks nor the
process's resident memory keep growing."""

import gc
import os
import pickle
import sys

import numpy as np
import pytest

from tesk import TESK
from integer_like import Index


class NoLength:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        return self.items[index]


class Failing(Exception):
    pass


def fail():
    raise Failing("raised by the argument")


def make_cases():
    """(argument objects to watch, calls): each call returns normally or raises what it expects."""
    model = TESK(3, max_depth=2, method="bic")
    row = [0, 1, 2, 0, 1, 1, 2, 0, 0, 1] * 3
    model.fit([row])
    unfitted = TESK(3)
    history, bad_history, long_history = [1], [0, 7], [0, 1, 2] * 20
    text, floats, negative = "01", [0.5], [-1]
    rows = [row, bytes([0, 1, 2, 1, 0]), (2, 1, 0, 1)]
    grid = np.array([[0, 1, 2, 1], [2, 2, 1, 0]], dtype=np.int64)
    watched = [model, unfitted, history, bad_history, long_history, text, floats, negative, row,
               grid]

    def refit():
        model.fit([row])

    cases = [
        (None, lambda: TESK(3, 2, "bic")),
        (None, lambda: TESK(Index(4), max_depth=Index(1), method=" PS ")),
        (None, lambda: TESK(3, beta=0.6)),
        (ValueError, lambda: TESK(1)),
        (ValueError, lambda: TESK(4, method="x\ty\u0301")),
        (ValueError, lambda: TESK(4, method="bic", penalty=-1.0)),
        (OverflowError, lambda: TESK(-1)),
        (TypeError, lambda: TESK("3")),
        (TypeError, lambda: TESK()),
        (TypeError, lambda: TESK(3, nothing=1)),
        (UnicodeEncodeError, lambda: TESK(3, method="\ud800")),
        (Failing, lambda: TESK(3, beta=Index(1, fail))),
        (None, refit),
        (None, lambda: model.fit(rows)),
        (None, lambda: model.fit(grid)),
        (None, lambda: model.fit(NoLength([row]))),
        (None, refit),
        (ValueError, lambda: model.fit([row, [3]])),
        (TypeError, lambda: model.fit([text])),
        (TypeError, lambda: model.fit([floats])),
        (OverflowError, lambda: model.fit([negative])),
        (Failing, lambda: model.fit([[0, Index(1, fail)]])),
        (RuntimeError, lambda: model.fit([[Index(0, lambda: model.get_counts([]))]])),
        (RuntimeError, lambda: model.fit([[Index(0, refit)]])),
        (MemoryError, lambda: model.fit(range(2**62))),
        (TypeError, lambda: model.fit()),
        (TypeError, lambda: TESK.fit(object(), [])),
        (None, lambda: model.get_contexts()),
        (RuntimeError, lambda: unfitted.get_contexts()),
        (TypeError, lambda: model.get_contexts(1)),
        (AttributeError, lambda: setattr(model, "max_depth", 1)),
        (TypeError, lambda: pickle.dumps(model)),
    ]
    for name in ("method", "boundary", "alphabet_size", "max_depth", "sample_size",
                 "effective_max_depth", "node_count", "context_count"):
        cases.append((None, lambda n=name: getattr(model, n)))
        if name in ("sample_size", "node_count"):
            cases.append((RuntimeError, lambda n=name: getattr(unfitted, n)))
    for name in ("get_suffix", "get_counts", "get_transition_counts", "get_distribution",
                 "predict_proba"):
        method, idle = getattr(model, name), getattr(unfitted, name)
        cases += [
            (None, lambda m=method: m([])),
            (None, lambda m=method: m(bytes(history))),
            (None, lambda m=method: m(np.array(history, dtype=np.uint8))),
            (None, lambda m=method: m([Index(0, lambda: model.get_suffix(long_history))])),
            (ValueError, lambda m=method: m(bad_history)),
            (RuntimeError, lambda m=idle: m(history)),
            (TypeError, lambda m=method: m(text)),
            (TypeError, lambda m=method: m(floats)),
            (TypeError, lambda m=method: m(history, history)),
            (OverflowError, lambda m=method: m(negative)),
            (Failing, lambda m=method: m(NoLength([0, Index(1, fail)]))),
            (RuntimeError, lambda m=method: m([Index(0, refit)])),
            (MemoryError, lambda m=method: m(range(2**62))),
        ]
        if name == "get_suffix" or name == "predict_proba":
            cases.append((None, lambda m=method: m(long_history)))
        else:
            cases.append((KeyError, lambda m=method: m(long_history)))
    return watched, cases


def run(cases, rounds):
    for _ in range(rounds):
        for expected, call in cases:
            try:
                result = call()
            except Exception as error:  # noqa: BLE001
                assert expected is not None and isinstance(error, expected), (call, error)
                del error
            else:
                assert expected is None, expected
                # The caller holds the only reference to a result and the result the only one to
                # each new element (getrefcount adds its own; counted outside the asserts, whose
                # rewriting keeps references of its own).
                if type(result) in (list, TESK):
                    references = sys.getrefcount(result)
                    assert references == 2, call
                if type(result) is list and result and type(result[0]) in (float, list):
                    references = sys.getrefcount(result[0])
                    assert references == 2, call


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_entry_points_keep_no_references():
    watched, cases = make_cases()
    run(cases, 20)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    run(cases, 200)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    assert sys.getallocatedblocks() - blocks < 100


@pytest.mark.not_under_sanitizer(reason="the sanitizer's quarantine keeps freed memory resident")
def test_resident_memory_settles():
    watched, cases = make_cases()
    run(cases, 2000)  # warm up: allocator pools, caches and the interpreter's free lists
    gc.collect()
    before = resident_bytes()
    run(cases, 20000)
    gc.collect()
    grown = resident_bytes() - before
    # One leaked byte per call would be about 4 MiB; a leaked result list far more.
    assert grown < 2 * 2**20, f"resident memory grew by {grown} bytes over {20000 * len(cases)} calls"
