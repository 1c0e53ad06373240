#!/usr/bin/env python3
"""What flush, compact, rebuild and merge_segments cost on one segment.

Not a test and never run by CI. Builds a segment of --rows rows x --dim dimensions (a
Gaussian mixture, sqrt(rows) clusters), then logs --changes adds and --changes deletes
into it (the state a writer leaves between checkpoints). Each round copies that directory
afresh for each operation and times, in this interleaved order:

* flush():   checkpoint of the logged rows and deletions;
* compact(): fold the log in and drop the deleted rows (keeps clusters and codes);
* rebuild(): re-cluster and re-encode the live rows (sqrt(live) clusters);
* merge_segments() of the segment and a second copy of it (ids overlap: each id keeps one
  row) into a new directory, n_clusters 0 (sqrt of the rows written).

Prints the median and the range (min..max) of each over --rounds rounds, and the load
average, since a shared machine moves these figures.

    PYTHONPATH=build/dev python3 bench/maintenance_cost.py --rows 100000 --dim 128 --rounds 5
"""

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time

import numpy as np

import tandrel


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--changes", type=int, default=5_000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    n, dim = args.rows, args.dim

    root = tempfile.mkdtemp(prefix="tandrel-maint-")
    try:
        rng = np.random.default_rng(7)
        centers = rng.standard_normal((64, dim)).astype(np.float32) * 4
        x = (centers[rng.integers(0, 64, n)] + rng.standard_normal((n, dim))).astype("<f4")
        base = os.path.join(root, "base")
        index = tandrel.RabitqIndex(base, dim)
        t0 = time.perf_counter()
        index.build(x.tobytes(), n, [f"doc-{i}" for i in range(n)],
                    [json.dumps({"color": ("red", "blue")[i % 2], "rank": i}) for i in range(n)],
                    max(1, int(n ** 0.5)))
        build_s = time.perf_counter() - t0
        index.set_wal_sync_ms(5)  # group commit, so logging the changes takes seconds, not minutes
        for i in range(args.changes):
            index.add(f"new-{i}", x[i] + 0.01, '{"color": "green"}')
            index.delete(f"doc-{n - 1 - i}")
        index.close()
        print(f"segment: {n:,} x {dim}, built in {build_s:.1f} s; then {args.changes:,} adds and "
              f"{args.changes:,} deletes in its log")

        def fresh(name):
            path = os.path.join(root, name)
            shutil.rmtree(path, ignore_errors=True)
            shutil.copytree(base, path)
            return path

        def timed(fn):
            t0 = time.perf_counter()
            fn()
            return time.perf_counter() - t0

        times = {"flush": [], "compact": [], "rebuild": [], "merge_segments": []}
        for _ in range(args.rounds):
            for op in ("flush", "compact", "rebuild"):
                h = tandrel.RabitqIndex(fresh("work"), dim)
                h.search(x[0].tobytes(), 1)  # the handle has its segment open
                times[op].append(timed(getattr(h, op)))
                h.close()
            a, b = fresh("a"), fresh("b")
            out = os.path.join(root, "merged")
            shutil.rmtree(out, ignore_errors=True)
            times["merge_segments"].append(
                timed(lambda: tandrel.merge_segments(out, [a, b], [], 0, 0.0, [], None, 2)))

        for op, ts in times.items():
            print(f"{op:>15}: median {statistics.median(ts):.2f} s "
                  f"(range {min(ts):.2f} .. {max(ts):.2f}, {len(ts)} rounds)")
        print(f"load average: {' '.join(f'{v:.1f}' for v in os.getloadavg())} on {os.cpu_count()} CPUs")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
