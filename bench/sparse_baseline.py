"""Sparse retrieval beside a plain Python inverted-index baseline, single thread.

Reads the rows and queries that `bench_sparse` cached (run it first), then times, per query
(k = 10):

- scipy.sparse: the rows as a CSC matrix (one column per term = that term's postings); a
  query is the dot product of the query's columns with its weights, then the top k of the
  touched rows by numpy argpartition;
- tandrel: `RabitqIndex.sparse_search` on the segment bench_sparse built, through the
  Python module (argument conversion and result list included).

    python3 bench/sparse_baseline.py [/tmp/tandrel_bench_sparse/rows_1000000]

Needs numpy and scipy (bench/requirements.txt). Set OMP_NUM_THREADS=1 for a fair single
thread baseline (scipy's sparse products are single-threaded anyway).
"""

import os
import sys
import time

import numpy as np
import scipy.sparse as sp

import tandrel

DIM = 32
K = 10


def read_vecs(f, dtypes):
    out = []
    for dt in dtypes:
        n = int(np.frombuffer(f.read(8), "<u8")[0])
        out.append(np.frombuffer(f.read(n * np.dtype(dt).itemsize), dt))
    return out


def main():
    d = sys.argv[1] if len(sys.argv) > 1 else "/tmp/tandrel_bench_sparse/rows_1000000"
    with open(os.path.join(d, "sparse_csr.bin"), "rb") as f:
        indptr, terms, weights = read_vecs(f, ["<u8", "<u4", "<f4"])
    with open(os.path.join(d, "queries.bin"), "rb") as f:
        qptr, qt, qw, _dense = read_vecs(f, ["<u8", "<u4", "<f4", "<f4"])
    n = len(indptr) - 1
    vocab = int(terms.max()) + 1
    t0 = time.perf_counter()
    csr = sp.csr_matrix((weights, terms.astype(np.int64), indptr.astype(np.int64)), shape=(n, vocab))
    csc = csr.tocsc()
    print(f"rows {n:,}  postings {len(terms):,}  CSC built in {time.perf_counter() - t0:.1f} s")
    queries = [(qt[qptr[i]:qptr[i + 1]].astype(np.int64), qw[qptr[i]:qptr[i + 1]]) for i in range(len(qptr) - 1)]

    def scipy_query(t, w):
        cols = csc[:, t]
        scores = cols @ w  # dense vector of n scores
        touched = np.flatnonzero(cols.getnnz(axis=1))
        if len(touched) <= K:
            sel = touched
        else:
            sel = touched[np.argpartition(-scores[touched], K)[:K]]
        return sel[np.argsort(-scores[sel], kind="stable")]

    h = tandrel.RabitqIndex(d, DIM)
    pairs = [list(zip(t.tolist(), w.tolist())) for t, w in queries]

    def timed(fn, reps):
        best = None
        for _ in range(reps):
            t0 = time.perf_counter()
            for i in range(len(queries)):
                fn(i)
            dt = time.perf_counter() - t0
            best = dt if best is None else min(best, dt)
        return len(queries) / best

    qps_scipy = timed(lambda i: scipy_query(*queries[i]), 2)
    qps_tandrel = timed(lambda i: h.sparse_search(pairs[i], K), 3)
    # Agreement on the first queries (scores equal up to summation order).
    agree = 0
    for i in range(50):
        a = {int(x) for x in scipy_query(*queries[i])}
        b = {int(r[1:]) for r, _ in h.sparse_search(pairs[i], K)}
        agree += len(a & b)
    print(f"scipy.sparse CSC dot product : {qps_scipy:10.1f} queries/s")
    print(f"tandrel sparse_search        : {qps_tandrel:10.1f} queries/s  ({qps_tandrel / qps_scipy:.1f}x)")
    print(f"top-{K} overlap on 50 queries : {agree / (50 * K):.3f}")
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
