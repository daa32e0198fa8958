"""Fit variable-length Markov chains to a bird's song and ask them what they learnt.

Run: python examples/quickstart.py
"""

from __future__ import annotations

import sys
from pathlib import Path

from tesk import TESK

SONG = Path(__file__).resolve().parent / "data" / "pewee.txt"
PHRASES = 3  # the wood pewee sings three distinct phrases, coded 0, 1 and 2


def read_song(path: Path) -> list[int]:
    try:
        text = path.read_text()
    except OSError as error:
        sys.exit(f"cannot read the song: {error}")
    song = []
    for number, token in enumerate(text.split(), start=1):
        if not token.isdigit() or int(token) >= PHRASES:
            sys.exit(f"{path}: symbol {number} is {token!r}, expected 0 to {PHRASES - 1}")
        song.append(int(token))
    return song


def main() -> None:
    song = read_song(SONG)
    print(f"wood pewee song: {len(song)} phrases over {PHRASES} phrase types\n")
    recent = song[-4:]
    for method in ("bct", "bic", "peres_shield"):
        model = TESK(PHRASES, max_depth=6, method=method)
        model.fit([song])
        contexts = model.get_contexts()
        print(f"{method}: {model.context_count} contexts from {model.sample_size} positions "
              f"(depth {model.effective_max_depth}, {model.node_count} tree nodes)")
        print(f"  contexts (oldest phrase first): {contexts}")
        chosen = model.get_suffix(recent)
        forecast = ", ".join(f"{p:.3f}" for p in model.predict_proba(recent))
        print(f"  after {recent} the model looks at {chosen} and predicts [{forecast}]\n")


if __name__ == "__main__":
    main()
