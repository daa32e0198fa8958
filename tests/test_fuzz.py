"""Random use of the whole surface (tests/fuzz/tesk_fuzz.py) and the cases it found.

The random run is derandomized, so every run of the suite makes the same calls. TESK_FUZZ_EXAMPLES
runs more sessions; tests/fuzz/fuzz_atheris.py runs the same sessions under coverage guidance.
"""

import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz"))

import tesk_fuzz  # noqa: E402
from tesk import TESK  # noqa: E402

HUGE_ALLOCATIONS = not tesk_fuzz.address_sanitizer_loaded()


class DrawChooser(tesk_fuzz.Chooser):
    def __init__(self, data):
        self.data = data

    def integer(self, lo, hi):
        return self.data.draw(st.integers(lo, hi))

    def raw(self, size):
        return self.data.draw(st.binary(min_size=size, max_size=size))


@settings(
    max_examples=int(os.environ.get("TESK_FUZZ_EXAMPLES", "100")),
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)
@given(st.data())
def test_random_sessions_keep_every_promise(data):
    tesk_fuzz.run(DrawChooser(data), huge_allocations=HUGE_ALLOCATIONS)


# --- cases the random runs found -------------------------------------------------------------


def test_a_released_memoryview_fails_with_its_own_error():
    # On CPython 3.11 iter() returns an iterator for a released view while leaving its
    # ValueError pending; the conversion must still end with that error and change nothing.
    model = TESK(2, max_depth=1, method="bic")
    model.fit([[0, 1, 1, 0, 1]])
    before = (model.sample_size, model.get_contexts())
    view = memoryview(bytes([0, 1]))
    view.release()
    for call in (model.get_suffix, model.predict_proba, model.get_counts, model.fit,
                 lambda v: model.fit([v])):
        with pytest.raises(ValueError, match="released memoryview"):
            call(view)
    assert (model.sample_size, model.get_contexts()) == before
    assert tesk_fuzz.borrow_flag(model) == 0
