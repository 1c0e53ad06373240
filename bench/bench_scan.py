"""Filtered scans and metadata reads through the Python module, beside numpy.

    python bench/bench_scan.py                 # 1,000,000 rows
    python bench/bench_scan.py --rows 200000   # a quicker look

Builds one segment (dim 8, so the build is quick) whose rows carry a string column `s` and
a numeric column `x`, drawn so that filters of 0.1 %, 1 %, 10 % and 50 % selectivity exist
for three shapes: equality on the string column, a range on the numeric column, and an
`$and` of both. For each filter it times `count_matching` and `ids_matching` (best of
--repeat) and the same answers computed by numpy from the columns held in memory (boolean
mask and sum; mask and the matching ids taken from an object array of the ids), and prints
rows/second. Then it times `get_meta` of 1,000 random ids. The scans use the process-wide
pool (every CPU of the affinity mask); the load average is printed with the figures.
"""

import argparse
import json
import os
import shutil
import tempfile
import time

import numpy as np

import tandrel

SEL = [0.001, 0.01, 0.1, 0.5]


def best(fn, repeat):
    t = float("inf")
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--dir", default=None, help="where to build (default: a temporary directory)")
    args = ap.parse_args()
    n = args.rows

    rng = np.random.default_rng(1)
    # s: "p001" with probability 0.001, "p01" 0.01, "p10" 0.10, "p50" 0.50, else "rest".
    u = rng.random(n)
    cats = np.array(["p001", "p01", "p10", "p50", "rest"], dtype=object)
    edges = np.cumsum(SEL)
    s_code = np.searchsorted(edges, u, side="right").astype(np.int32)
    x = rng.random(n)
    ids = np.array([f"id{i}" for i in range(n)], dtype=object)
    metas = [json.dumps({"s": cats[c], "x": float(v)}) for c, v in zip(s_code, x)]
    vecs = rng.standard_normal((n, 8)).astype("<f4")

    root = args.dir or tempfile.mkdtemp(prefix="tandrel_bench_scan_")
    path = os.path.join(root, "idx")
    shutil.rmtree(path, ignore_errors=True)
    h = tandrel.RabitqIndex(path, 8)
    t0 = time.perf_counter()
    h.build(vecs.tobytes(), n, list(ids), metas, 64)
    print(f"rows {n:,}  build {time.perf_counter() - t0:.1f} s  load average {os.getloadavg()[0]:.1f}  "
          f"cpus {len(os.sched_getaffinity(0))}")
    del metas, vecs

    cases = []
    for k, p in enumerate(SEL):
        cases.append((f"string == ({p:.1%})", json.dumps({"s": cats[k]}), lambda k=k: s_code == k))
    for p in SEL:
        cases.append((f"x < {p} ({p:.1%})", json.dumps({"x": {"$lt": p}}), lambda p=p: x < p))
    for p in SEL:
        # s == "p50" (50 %) and x < 2p: p overall.
        cases.append((f"$and ({p:.1%})", json.dumps({"$and": [{"s": "p50"}, {"x": {"$lt": 2 * p}}]}),
                      lambda p=p: (s_code == 3) & (x < 2 * p)))

    print(f"{'filter':<22}{'matches':>10}  {'count Mrows/s':>14}{'numpy':>9}  {'ids Mrows/s':>12}{'numpy':>9}")
    for name, text, mask_fn in cases:
        h.count_matching(text)  # compile once (cache) and warm the pages
        tc, c = best(lambda: h.count_matching(text), args.repeat)
        ti, got = best(lambda: h.ids_matching(text), args.repeat)
        tnc, nc = best(lambda: int(mask_fn().sum()), args.repeat)
        tni, nids = best(lambda: ids[mask_fn()].tolist(), args.repeat)
        assert c == nc == len(got) == len(nids), (name, c, nc, len(got))
        assert sorted(got) == sorted(nids)
        print(f"{name:<22}{c:>10,}  {n / tc / 1e6:>14.1f}{n / tnc / 1e6:>9.1f}  {n / ti / 1e6:>12.1f}"
              f"{n / tni / 1e6:>9.1f}")

    pick = list(ids[rng.integers(0, n, 1000)])
    h.get_meta(pick)
    tg, texts = best(lambda: h.get_meta(pick), args.repeat)
    assert len(texts) == 1000 and "null" not in texts
    print(f"get_meta of 1,000 random ids: {tg * 1e3:.2f} ms per call, {1000 / tg:,.0f} ids/s")

    if not args.dir:
        h.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
