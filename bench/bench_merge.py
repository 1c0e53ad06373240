#!/usr/bin/env python3
"""merge_segments beside live queries.

Not a test and never run by CI. Builds --segments segments of --rows rows x --dim
dimensions (a Gaussian mixture, ids unique across segments), then measures:

* query throughput (searches/s) of --search-threads Python threads searching the segments
  round-robin for --seconds, with no merge running;
* the same while merge_segments folds all the segments into one (the merge runs on the
  maintenance pool: TANDREL_MAINT_THREADS / TANDREL_MAINT_NICE apply);
* the merge's rows/second alone, beside a fresh build of the same number of rows;
* recall@10 (exact float32 neighbours over the dequantised vectors as ground truth) of the
  merged segment beside a segment built from those same dequantised vectors, at the same
  cluster count, nprobe and rerank.

    PYTHONPATH=build/dev python3 bench/bench_merge.py --rows 250000 --segments 4 --dim 128
"""

import argparse
import os
import shutil
import struct
import tempfile
import threading
import time

import numpy as np

import tandrel


def mixture(rng, n, dim, centers):
    which = rng.integers(0, len(centers), n)
    return (centers[which] + rng.standard_normal((n, dim)) * 0.6).astype("<f4")


def dequantised(path, dim):
    """Rows of a merged segment as stored: ids in slot order and their int8 codes dequantised."""
    codes = np.fromfile(os.path.join(path, "orig.bin"), dtype=np.uint8).reshape(-1, dim)
    rec = np.fromfile(os.path.join(path, "origscale.bin"), dtype=np.uint32).reshape(-1, 2)
    scale = np.ldexp(np.float32(1), np.maximum(rec[:, 1].astype(np.int32), 2) - 128).astype(np.float32)
    x = ((codes.astype(np.float32) - 128) / np.float32(127)) * scale[:, None]
    off = np.fromfile(os.path.join(path, "ids_off.bin"), dtype="<u8")
    raw = open(os.path.join(path, "ids.bin"), "rb").read()
    ids = [raw[off[i]:off[i + 1]].decode() for i in range(len(off) - 1)]
    return ids, x.astype("<f4")


def exact_top(x, queries, k):
    out = []
    norms = (x * x).sum(1)
    for q in queries:
        d = norms - 2 * (x @ q) + (q * q).sum()
        out.append(np.argpartition(d, k)[:k])
    return out


def recall(handle, ids, truth, queries, k, nprobe, rerank):
    hit = 0
    for q, t in zip(queries, truth):
        want = {ids[i] for i in t}
        got = {r[0] for r in handle.search(q.tobytes(), k, nprobe, rerank)}
        hit += len(want & got)
    return hit / (k * len(queries))


def qps(handles, queries, threads, seconds, stop_when=None):
    count = [0] * threads
    stop = threading.Event()

    def run(t):
        i = t
        while not stop.is_set():
            h = handles[i % len(handles)]
            h.search(queries[i % len(queries)].tobytes(), 10, 16, 200)
            count[t] += 1
            i += threads

    ths = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    start = time.monotonic()
    for t in ths:
        t.start()
    if stop_when is not None:
        stop_when()
    else:
        time.sleep(seconds)
    stop.set()
    for t in ths:
        t.join()
    return sum(count) / (time.monotonic() - start)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=250_000, help="rows per segment")
    ap.add_argument("--segments", type=int, default=4)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--search-threads", type=int, default=len(os.sched_getaffinity(0)))
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--nprobe", type=int, default=32)
    ap.add_argument("--rerank", type=int, default=400)
    ap.add_argument("--dir", default=None)
    a = ap.parse_args()

    root = a.dir or tempfile.mkdtemp(prefix="bench_merge_")
    rng = np.random.default_rng(0)
    centers = rng.standard_normal((64, a.dim)).astype("<f4") * 2
    segs, handles, total = [], [], 0
    for s in range(a.segments):
        x = mixture(rng, a.rows, a.dim, centers)
        path = os.path.join(root, f"seg{s}")
        h = tandrel.RabitqIndex(path, a.dim)
        h.build(x.tobytes(), a.rows, [f"s{s}-{i}" for i in range(a.rows)], ["{}"] * a.rows,
                int(a.rows ** 0.5))
        segs.append(path)
        handles.append(h)
        total += a.rows
    queries = mixture(rng, a.queries, a.dim, centers)
    print(f"{a.segments} segments x {a.rows} rows x {a.dim} dims; {a.search_threads} search threads;"
          f" maintenance threads {os.environ.get('TANDREL_MAINT_THREADS', 'default')},"
          f" nice {os.environ.get('TANDREL_MAINT_NICE', '0')}")

    base = qps(handles, queries, a.search_threads, a.seconds)
    print(f"queries/s without merge: {base:,.0f}")

    out = os.path.join(root, "merged")
    merge_time = [0.0]

    def merge_now():
        t = time.monotonic()
        tandrel.merge_segments(out, segs, [], 0, 0.0, [], None, 2)
        merge_time[0] = time.monotonic() - t

    during = qps(handles, queries, a.search_threads, 0, stop_when=merge_now)
    print(f"queries/s during merge:  {during:,.0f} ({during / base:.0%}); merge took {merge_time[0]:.1f} s"
          f" = {total / merge_time[0]:,.0f} rows/s beside queries")

    shutil.rmtree(out)
    t = time.monotonic()
    rows, _ = tandrel.merge_segments(out, segs, [], 0, 0.0, [], None, 2)
    alone = time.monotonic() - t
    print(f"merge alone: {alone:.1f} s = {rows / alone:,.0f} rows/s")

    ids, xd = dequantised(out, a.dim)
    k = int(len(ids) ** 0.5)
    fresh = os.path.join(root, "fresh")
    hf = tandrel.RabitqIndex(fresh, a.dim)
    t = time.monotonic()
    hf.build(xd.tobytes(), len(ids), ids, ["{}"] * len(ids), k)
    build = time.monotonic() - t
    print(f"fresh build of the same rows: {build:.1f} s = {len(ids) / build:,.0f} rows/s")

    truth = exact_top(xd, queries, 10)
    hm = tandrel.RabitqIndex(out, a.dim)
    print(f"recall@10 nprobe={a.nprobe} rerank={a.rerank}: merged {recall(hm, ids, truth, queries, 10, a.nprobe, a.rerank):.3f},"
          f" built from the dequantised vectors {recall(hf, ids, truth, queries, 10, a.nprobe, a.rerank):.3f}")
    if a.dir is None:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
