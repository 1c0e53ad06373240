"""Multi-column fusion and batched distance lookups through the Python module.

    python bench/bench_fuse.py                  # default sizes
    python bench/bench_fuse.py --rows 5000      # smaller segments, quicker build

Builds 3 columns of 3 segments each (dim 32, --rows rows per segment, ids overlapping
between the segments of a column) and a fourth column of 4 segments. Then times:

- `tdql_fuse` of 3 columns: one clause per column with 1,000 hits each, drawn so that most
  pooled rows miss the other two columns and are filled from their 3 segments (newest
  first); calls per second, and the share of the call spent in the fills, estimated as the
  difference to the same call whose fill entries have no sources (the cells then take the
  worst hit without any lookup);
- `distances_to_many` for 10,000 ids over the 4 segments of one column, with parallel on
  and off.

Best of --repeat for each figure; the load average is printed with them.
"""

import argparse
import os
import random
import shutil
import tempfile
import time

import numpy as np

import tandrel

DIM = 32


def best(fn, repeat):
    t = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def build_segment(path, ids, seed):
    h = tandrel.RabitqIndex(path, DIM)
    x = np.random.default_rng(seed).standard_normal((len(ids), DIM)).astype("<f4")
    h.build(x.tobytes(), len(ids), ids, ["{}"] * len(ids), max(1, len(ids) // 500))
    return h


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=20000, help="rows per segment")
    ap.add_argument("--hits", type=int, default=1000, help="hits per clause")
    ap.add_argument("--ids", type=int, default=10000, help="ids of the distances_to_many job")
    ap.add_argument("--repeat", type=int, default=20)
    args = ap.parse_args()
    n = args.rows
    universe = [f"id{i}" for i in range(int(n * 2.5))]
    tmp = tempfile.mkdtemp(prefix="bench_fuse_")
    try:
        rng = random.Random(1)
        t0 = time.perf_counter()
        cols = []
        for c in range(3):
            # segment s (s = 0 newest) holds ids [s * 0.75 n, s * 0.75 n + n): overlapping ranges
            cols.append([build_segment(os.path.join(tmp, f"c{c}s{s}"),
                                       universe[int(s * 0.75 * n): int(s * 0.75 * n) + n], 100 * c + s)
                         for s in range(3)])
        col4 = [build_segment(os.path.join(tmp, f"d{s}"), universe[s * n // 2: s * n // 2 + n], 900 + s)
                for s in range(4)]
        print(f"built 13 segments of {n} rows (dim {DIM}) in {time.perf_counter() - t0:.1f} s")

        q = np.random.default_rng(5).standard_normal((1, DIM)).astype("<f4").tobytes()
        clauses = [(c, 1.0, False, [(rng.choice(universe), rng.random()) for _ in range(args.hits)])
                   for c in range(3)]
        divs = [1.0, 1.0, 1.0]
        fill = [(cols[c], None, [(1.0, q)]) for c in range(3)]
        no_fill = [([], None, [(1.0, q)]) for _ in range(3)]

        def fused(f, parallel):
            return tandrel.RabitqIndex.tdql_fuse(3, clauses, divs, None, None, False, f, [], 100, parallel)

        out = fused(fill, True)
        n_rows = len(out[0])
        n_filled = sum(out[6])
        print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs")
        print(f"tdql_fuse: 3 columns x 3 segments x {args.hits} hits per clause: {n_rows} pooled rows, "
              f"{n_filled} cells filled")
        for parallel in (True, False):
            t_full = best(lambda: fused(fill, parallel), args.repeat)
            t_bare = best(lambda: fused(no_fill, parallel), args.repeat)
            share = max(0.0, (t_full - t_bare) / t_full)
            print(f"  parallel={parallel!s:5}: {1 / t_full:8.1f} calls/s ({t_full * 1e3:.2f} ms), "
                  f"without lookups {1 / t_bare:8.1f} calls/s; share in fills {share * 100:.0f} %")

        ids = [rng.choice(universe) for _ in range(args.ids)]
        job = [(col4, ids, q)]
        for parallel in (True, False):
            t = best(lambda: tandrel.RabitqIndex.distances_to_many(job, parallel), args.repeat)
            print(f"distances_to_many: {args.ids} ids over 4 segments, parallel={parallel!s:5}: "
                  f"{1 / t:8.1f} calls/s ({t * 1e3:.2f} ms, {args.ids / t / 1e6:.2f} M ids/s)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
