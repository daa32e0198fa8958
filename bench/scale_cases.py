"""Fits at the scale of a genome, each in a fresh process, against the one-touch counting floor.

Dense counting: i.i.d. symbols over 4 at depths 10 and 12, against `anchors onetouch` (count the
table of context and outcome, one touch per position, and sum every shorter table from it) on the
same data. Past 2^31: the same fit on 2^31 - 2^20 and 2^31 + 2^20 symbols, per symbol in time and
peak memory, at depth 12 (dense tables) and 16 (sorted contexts: whole below 2^31, sorted again a
group at a time past it; no floor, whose table would take 64 GiB). With --large, a genome-sized fit: 3.2·10^9 symbols over 4 in 24 rows of one memory-
mapped file, depth 12, bct. Run by run_bench.py or alone:

    PYTHONPATH=build/bench python bench/scale_cases.py [--large] [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# name: (symbols, rows, methods, depths); each fit against the floor at its depth
DENSE_CASES = {
    "iid4_2e8": (2 * 10**8, 1, ("bic", "bct"), (10, 12)),
}
# The same fit on each side of 2^31 symbols, compared per symbol.
CLIFF_CASES = {
    "iid4_2^31-2^20": (2**31 - 2**20, 1, ("bct",), (12, 16)),
    "iid4_2^31+2^20": (2**31 + 2**20, 1, ("bct",), (12, 16)),
}
# The deepest depth whose one-touch floor fits this machine (4^(D+1) cells of 4 bytes).
FLOOR_DEPTH_MAX = 13
LARGE_CASES = {
    "genome_3.2e9": (32 * 10**8, 24, ("bct",), (12,)),
}


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def data_file(cache: Path, symbols: int) -> Path:
    """i.i.d. uniform symbols over 4 as raw uint8, written once in pieces and kept."""
    import numpy as np

    path = cache / "data" / f"iid4_{symbols}.u8"
    if path.exists() and path.stat().st_size == symbols:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(20261208)
    partial = path.with_suffix(".part")
    with open(partial, "wb") as out:
        left = symbols
        while left:
            piece = min(left, 10**8)
            rng.integers(0, 4, piece, dtype=np.uint8).tofile(out)
            left -= piece
    partial.rename(path)
    return path


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def child(job: dict) -> dict:
    """The file's symbols as `rows` equal rows of one read-only memory map, fitted once."""
    import numpy as np
    import tesk

    mapped = np.memmap(job["path"], dtype=np.uint8, mode="r")
    rows = job["rows"]
    data = mapped[: len(mapped) // rows * rows].reshape(rows, -1) if rows > 1 else [mapped]
    model = tesk.TESK(4, max_depth=job["max_depth"], method=job["method"])
    started = time.perf_counter()
    out: dict = {}
    try:
        model.fit(data)
        out.update(node_count=model.node_count, sample_size=model.sample_size)
    except (ValueError, MemoryError) as exc:
        out["error"] = f"{type(exc).__name__}: {exc}"
    out.update(seconds=time.perf_counter() - started, peak_rss=peak_rss(),
               input_bytes=int(mapped.nbytes))
    return out


def in_child(job: dict, timeout: float) -> dict:
    import tesk

    env = dict(os.environ)
    tesk_dir = str(Path(tesk.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tesk_dir, env.get("PYTHONPATH")) if p)
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(job)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"failure": f"timeout after {timeout:.0f} s"}
    if proc.returncode != 0:
        return {"failure": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
    return json.loads(proc.stdout)


def floor(anchors: Path, path: Path, depth: int) -> dict:
    out = subprocess.run([str(anchors), "onetouch", "--in", str(path), "--alphabet", "4",
                          "--depth", str(depth), "--repeat", "1"],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def measure(anchors: Path, cache: Path, timeout: float, large: bool = False) -> dict:
    cases = {**DENSE_CASES, **CLIFF_CASES, **(LARGE_CASES if large else {})}
    results: dict = {}
    for name, (symbols, rows, methods, depths) in cases.items():
        log(f"scale: {name}: data")
        path = data_file(cache, symbols)
        for depth in depths:
            anchor = None
            if depth <= FLOOR_DEPTH_MAX:
                log(f"scale: {name}: the one-touch floor at depth {depth}")
                anchor = floor(anchors, path, depth)
            for method in methods:
                log(f"scale: {name}: {method} max_depth {depth}")
                rec = in_child({"path": str(path), "rows": rows, "method": method,
                                "max_depth": depth}, timeout)
                rec["floor"] = anchor
                results[f"{name}/{method}/{depth}"] = rec
    return results


def report(results: dict) -> str:
    from run_bench import f_mb, f_r, f_s, table

    rows = []
    per_symbol = {}
    for key, rec in results.items():
        name, method, depth = key.split("/")
        if "failure" in rec:
            rows.append([name, method, depth, "failed", "", "", "", "", rec["failure"]])
            continue
        symbols = rec["input_bytes"]
        floor_seconds = rec["floor"]["seconds"] if rec["floor"] else None
        per_symbol[key] = (rec["seconds"] / symbols, rec["peak_rss"] / symbols)
        rows.append([name, method, depth, f_s(rec["seconds"]),
                     f_s(floor_seconds) if floor_seconds else "",
                     f_r(rec["seconds"] / floor_seconds) if floor_seconds else "",
                     f_mb(rec["peak_rss"]),
                     f_mb(rec["peak_rss"] - rec["input_bytes"]), rec.get("error", "")[:40]])
    out = [table("Fits at scale against the one-touch counting floor on the same data (i.i.d., "
                 "A = 4; input read in place from a memory map)",
                 ["data", "method", "max_depth", "seconds", "floor", "fit/floor", "peak MiB",
                  "peak - input", "error"], rows)]
    for depth in CLIFF_CASES["iid4_2^31+2^20"][3]:
        below, above = f"iid4_2^31-2^20/bct/{depth}", f"iid4_2^31+2^20/bct/{depth}"
        if below in per_symbol and above in per_symbol:
            (t0, m0), (t1, m1) = per_symbol[below], per_symbol[above]
            out.append(f"\nPast 2^31 symbols at depth {depth}, per symbol: time {t1 / t0:.2f}x, "
                       f"peak memory {m1 / m0:.2f}x of those below it")
    return "\n".join(out)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--large", action="store_true", help="add the genome-sized fit")
    ap.add_argument("--timeout", type=float, default=3600.0)
    ap.add_argument("--cache-dir", type=Path, default=HERE / ".build")
    ap.add_argument("--json", type=Path, default=HERE / "results" / "scale_cases.json")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0
    sys.path.insert(0, str(HERE))
    from run_bench import build_anchors

    results = measure(build_anchors(args.cache_dir), args.cache_dir, args.timeout, args.large)
    print(report(results))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
