"""Several Python threads fitting and querying shared and separate models at once.

No call releases the interpreter lock, so calls on plain arguments simply take turns and give
exactly the single-threaded answers. Only Python code run mid-call lets another thread in: an
argument that runs code while it converts, or a garbage collection that a call's allocations set
off (finalizers and weakref callbacks are Python code). That thread then meets the borrow guard,
never a half-made model. The tests that expect plain turns therefore run with the collector off.
"""

import gc
import random
import sys
import threading
import time

import pytest

from tesk import TESK

METHODS = [("bct", {}), ("bic", {"penalty": 0.5}), ("peres_shield", {})]


def dataset(seed):
    rng = random.Random(seed)
    return [[rng.choice((0, 0, 1, 2)) if i % 3 else 1 for i in range(rng.randint(50, 400))]
            for _ in range(4)]


def answers(model, histories):
    contexts = model.get_contexts()
    return (model.sample_size, model.node_count, model.effective_max_depth, contexts,
            [model.get_transition_counts(c) for c in contexts],
            [model.get_distribution(c) for c in contexts],
            [(model.get_suffix(h), model.predict_proba(h)) for h in histories])


def fitted(method, options, data):
    model = TESK(3, max_depth=4, method=method, **options)
    model.fit(data)
    return model


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture
def no_collections():
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()


def run_threads(workers):
    errors = []

    def guarded(work):
        try:
            work()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_threads_get_the_single_threaded_answers(fast_switching, no_collections):
    histories = [[], [0], [2, 1], [1, 0, 2, 2, 0], [0, 1, 2] * 5]
    data = [dataset(seed) for seed in range(6)]
    expected = {(m, i): answers(fitted(m, o, d), histories)
                for m, o in METHODS for i, d in enumerate(data)}
    shared = {m: fitted(m, o, data[0]) for m, o in METHODS}

    def worker(index):
        def work():
            rng = random.Random(index)
            own = {m: TESK(3, max_depth=4, method=m, **o) for m, o in METHODS}
            for _ in range(15):
                method, options = rng.choice(METHODS)
                which = rng.randrange(len(data))
                own[method].fit(data[which])
                assert answers(own[method], histories) == expected[method, which]
                # The shared models are refitted with the data they already hold, so every
                # answer stays the same whichever thread asks and whichever refits.
                if rng.random() < 0.3:
                    shared[method].fit(data[0])
                assert answers(shared[method], histories) == expected[method, 0]

        return work

    run_threads([worker(i) for i in range(6)])


class Slow:
    """An element whose conversion runs Python code, during which other threads get their turn."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        sum(range(200))
        return self.value


def test_a_thread_converting_slowly_meets_others_only_through_the_borrow_guard(fast_switching):
    data = dataset(7)
    model = fitted("bic", {"penalty": 0.5}, data)
    expected = answers(model, [[1, 0]])
    slow_data = [[Slow(x) for x in row] for row in data]
    outcomes = {"fit": 0, "refused": 0, "answered": 0}
    refitting = threading.Event()
    refitting.set()

    def refitter():
        try:
            for _ in range(500):
                if outcomes["fit"] == 10:
                    break
                try:
                    model.fit(slow_data)
                    outcomes["fit"] += 1
                except RuntimeError as error:  # a reader is converting its history
                    assert error.args == ("Already borrowed",)
                    outcomes["refused"] += 1
                time.sleep(0.002)  # room for whole reads in between
        finally:
            refitting.clear()

    def reader():
        while refitting.is_set():
            try:
                result = model.predict_proba([Slow(1), Slow(0)])
                contexts = model.get_contexts()
            except RuntimeError as error:
                assert error.args == ("Already mutably borrowed",)
                outcomes["refused"] += 1
                continue
            assert result == expected[-1][0][1] and contexts == expected[3]
            outcomes["answered"] += 1

    run_threads([refitter, reader, reader, reader])
    assert outcomes["fit"] == 10 and outcomes["answered"] > 0 and outcomes["refused"] > 0, outcomes
    assert answers(model, [[1, 0]]) == expected
