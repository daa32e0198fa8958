"""Ctrl-C during a long fit: a real SIGINT, sent to a child process while it converts the rows,
builds the trie or sorts deep contexts, ends the fit within 0.2 s with the handler's exception and
the model as it was; a handler that returns lets the fit finish.

The parent sends the signal once the child has started the fit; both read CLOCK_MONOTONIC
(time.monotonic), so the child's moment of catching the exception minus the parent's moment of
sending it is the reaction time. The timeouts around the child are generous; only that time is
held to 0.2 s.
"""

import os
import signal
import subprocess
import sys
import time

import pytest

import tesk

CHILD = r"""
import signal, sys, time
import numpy as np
import tesk

scenario = sys.argv[1]
handled = []
if scenario.endswith("-raising"):
    def handler(signum, frame):
        raise LookupError("stopped by the handler")
    signal.signal(signal.SIGINT, handler)
elif scenario.endswith("-returning"):
    def handler(signum, frame):
        try:
            model.max_depth
        except RuntimeError as error:  # the fit holds the model: the handler runs within it
            handled.append(str(error))
    signal.signal(signal.SIGINT, handler)

# Deep contexts are sorted rather than counted in tables.
model = tesk.TESK(4, max_depth=30 if scenario.startswith("deep") else 10, method="bic")
model.fit([[0, 1, 0, 1, 0, 1]])
def state():
    contexts = model.get_contexts()
    return model.sample_size, contexts, [model.get_transition_counts(c) for c in contexts]
before = state()

# Several seconds of building, so that the signal comes well before the end on a fast machine.
events = np.random.default_rng(1).integers(0, 4, 60_000_000, dtype=np.uint8)
if scenario.startswith("conversion"):
    # Rows after the first bad symbol are converted but not kept: long to convert, yet small.
    symbols = [1, 0, 2, 3] * 250_000
    data = [[4] + symbols] + [symbols] * 3000
else:
    data = [events]

print("fitting", flush=True)
try:
    model.fit(data)
except BaseException as error:
    caught = time.monotonic()
    print(type(error).__name__, caught, state() == before, flush=True)
else:
    expected = np.bincount(events[10:], minlength=4).tolist()
    right = model.sample_size == len(events) - 10 and model.get_transition_counts([]) == expected
    print("finished", handled == ["Already mutably borrowed"], right, flush=True)
"""


def run_child(scenario):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(tesk.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    child = subprocess.Popen([sys.executable, "-c", CHILD, scenario], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "fitting\n", child.communicate(timeout=60)
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err
    return sent, out.split()


@pytest.mark.parametrize("scenario", ["conversion", "build", "conversion-raising",
                                      "build-raising", "deep"])
def test_a_signal_ends_the_fit_with_the_handlers_exception(scenario):
    sent, (exception, caught, unchanged) = run_child(scenario)
    assert exception == ("LookupError" if scenario.endswith("raising") else "KeyboardInterrupt")
    assert unchanged == "True"
    assert float(caught) - sent < 0.2


def test_a_handler_that_returns_lets_the_fit_finish():
    sent, outcome = run_child("build-returning")
    assert outcome == ["finished", "True", "True"]
