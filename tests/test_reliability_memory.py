"""Running out of memory: in a child process whose address space is capped, fits and results that
cannot be allocated raise MemoryError, the process goes on, and models keep answering as before."""

import sys

import pytest

pytestmark = pytest.mark.not_under_sanitizer(
    reason="the sanitizer reserves terabytes of address space and aborts on failed allocations"
)

CHILD = r"""
import os, resource, tesk

def describe(model):
    contexts = model.get_contexts()
    return (model.sample_size, model.node_count, contexts,
            [model.get_distribution(c) for c in contexts[:20]], model.predict_proba([1, 0]))

def address_space():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))

small = tesk.TESK(3, max_depth=2, method="bic")
small.fit([[0, 1, 2, 0, 1, 1, 2, 0, 0, 1] * 5])
deep = tesk.TESK(256, max_depth=40, method="bic", penalty=1e-9)
deep.fit([bytes([0, 1] * 500)])
huge = tesk.TESK(4294967295, method="bic")
huge.fit([])
wide = tesk.TESK(3 << 24, method="bic")
wide.fit([])
before = describe(small), describe(deep)
assert before[1][1] == 257, before[1][1]  # the root split into all 256 symbols

resource.setrlimit(resource.RLIMIT_AS, (address_space() + (5 << 28), resource.RLIM_INFINITY))
outcomes = []
def attempt(call):
    try:
        call()
        outcomes.append("no error")
    except MemoryError:
        outcomes.append("MemoryError")

# A tree of tens of millions of nodes (a tiny penalty splits wherever the counts differ), on a
# fresh model and on one fitted earlier.
rows = [os.urandom(1 << 21)]
attempt(lambda: tesk.TESK(256, max_depth=40, method="bic", penalty=1e-9).fit(rows))
attempt(lambda: deep.fit(rows))
# Results of 2**32 - 1 elements, and ones whose list fits but whose floats do not.
for name in ("get_transition_counts", "get_distribution", "predict_proba"):
    attempt(lambda: getattr(huge, name)([]))
attempt(lambda: wide.get_distribution([]))
attempt(lambda: wide.predict_proba([]))
print(outcomes)

resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert (describe(small), describe(deep)) == before
deep.fit([bytes([1, 0] * 500)])
assert deep.node_count == 257
print("alive")
"""


def test_exhausted_memory_raises_memory_error_and_changes_nothing(run_python):
    finished = run_python(CHILD)
    assert finished.returncode == 0, finished.stderr
    lines = finished.stdout.splitlines()
    assert lines == [str(["MemoryError"] * 7), "alive"], finished.stdout + finished.stderr
    assert "internal failure" not in finished.stderr
