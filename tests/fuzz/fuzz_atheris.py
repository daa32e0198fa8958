"""Coverage-guided fuzzing of tesk's Python surface: the sessions of tesk_fuzz, driven by atheris.

    python tests/fuzz/fuzz_atheris.py -seed=1 -max_total_time=120 [CORPUS_DIR]

Without -max_total_time (or -runs) the run lasts TESK_FUZZ_SECONDS seconds, 120 by default. Any
broken promise (an AssertionError), any other escaping exception and any crash stops the run and
leaves the input that caused it as crash-*; replay it by passing that file instead of a corpus.
The engine's own branches are instrumented, so inputs that reach new kinds of arguments, outcomes
and checks are kept and mutated further.
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["tesk_fuzz"]):
    import tesk_fuzz

HUGE_ALLOCATIONS = not tesk_fuzz.address_sanitizer_loaded()


class ProviderChooser(tesk_fuzz.Chooser):
    def __init__(self, provider):
        self.provider = provider

    def integer(self, lo, hi):
        return self.provider.ConsumeIntInRange(lo, hi)

    def raw(self, size):
        return self.provider.ConsumeBytes(size)


TOTALS = {"runs": 0, "calls": 0}


def one_input(data):
    calls = tesk_fuzz.run(ProviderChooser(atheris.FuzzedDataProvider(data)), steps=16,
                          huge_allocations=HUGE_ALLOCATIONS)
    TOTALS["runs"] += 1
    TOTALS["calls"] += calls
    if TOTALS["runs"] % 5000 == 0:  # libFuzzer ends the process itself: no summary at exit
        print(f"tesk_fuzz: {TOTALS['runs']} runs, {TOTALS['calls']} checked calls", flush=True)


def main():
    arguments = list(sys.argv)
    given = {a.split("=")[0] for a in arguments[1:] if a.startswith("-")}
    if not given & {"-max_total_time", "-runs"}:
        arguments.append(f"-max_total_time={int(os.environ.get('TESK_FUZZ_SECONDS', '120'))}")
    # A session draws all its choices from the input: long inputs from the start make long ones.
    for default in ("-len_control=0", "-max_len=1024"):
        if default.split("=")[0] not in given:
            arguments.append(default)
    atheris.Setup(arguments, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
