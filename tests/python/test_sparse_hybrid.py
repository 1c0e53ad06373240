"""`RabitqIndex.sparse_search` and `search_hybrid`: a brute-force model in float32, rank
fusion arithmetic, argument errors with their exact texts."""

import json
import math

import numpy as np
import pytest

from segtools import DIM, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)

F = np.float32
N = 400


def row_terms(i):
    """Sparse terms of built row i: a few small terms, some rows without any."""
    if i % 10 == 9:
        return []
    rng = np.random.default_rng(i)
    return [(int(rng.integers(0, 30)), float(F(int(rng.integers(-2, 7)) * 0.5))) for _ in range(1 + i % 4)]


@pytest.fixture(scope="module")
def seg(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("sp") / "idx")
    h = RabitqIndex(path, DIM)
    x = vectors(N)
    ids = [f"r{i}" for i in range(N)]
    metas = [json.dumps({"g": i % 3}) for i in range(N)]
    h.build(x.tobytes(), N, ids, metas, 8, sparse=[row_terms(i) for i in range(N)])
    rows = {f"r{i}": (row_terms(i), i % 3) for i in range(N)}
    # Delta rows, deletions of rows written to sparse.bin, and upserts with new terms.
    extra = vectors(40, seed=5)
    for j in range(20):
        sp = [(j % 30, 1.5), ((j * 7) % 30, -0.25)]
        h.add(f"d{j}", extra[j].tobytes(), json.dumps({"g": j % 3}), sp)
        rows[f"d{j}"] = (sp, j % 3)
    for i in range(0, N, 13):
        h.delete(f"r{i}")
        del rows[f"r{i}"]
    for i in range(1, N, 17):
        sp = [(i % 30, 2.0)]
        h.add(f"r{i}", extra[20 + i % 20].tobytes(), json.dumps({"g": 1}), sp)
        rows[f"r{i}"] = (sp, 1)
    return h, rows


def model(rows, q, k, g=None):
    """Scores in float32, query-pair order; ties by slot order (main ids by build order after
    cluster grouping are not known here, so ties are compared as sets)."""
    out = []
    for rid, (terms, rg) in rows.items():
        if g is not None and rg != g:
            continue
        acc, touched = F(0), False
        for t, w in q:
            for rt, p in terms:
                if rt == t:
                    acc = F(F(p) * F(w)) + acc
                    touched = True
        if touched:
            out.append((rid, float(acc)))
    return out


def check_against_model(got, want, k):
    # Order: score descending; equal scores come in slot order, which the model does not
    # know, so compare the scores in order and the ids by score group.
    assert len(got) == min(k, len(want))
    want_sorted = sorted(want, key=lambda p: -p[1])
    assert [s for _, s in got] == [s for _, s in want_sorted[: len(got)]]
    by_score = {}
    for rid, s in want:
        by_score.setdefault(s, set()).add(rid)
    for rid, s in got:
        assert rid in by_score[s]
    if got and len(got) < len(want):
        # the cut may split a tie group, never skip a better score
        assert all(s <= got[-1][1] for _, s in want_sorted[len(got):])


QUERIES = [
    [(3, 1.0)],
    [(3, 1.0), (5, 0.5), (3, 1.0)],  # a repeated term counts twice
    [(11, 0.0)],                      # zero weight: rows are still returned, with score 0
    [(2, -1.0), (9, 0.75)],           # negative scores sort below positive ones
    [(1000, 1.0)],
    [],
    [(t, float(t % 5) - 1.5) for t in range(30)],
]


@pytest.mark.parametrize("q", QUERIES)
@pytest.mark.parametrize("k", [0, 1, 7, 10_000, 2**63])
@pytest.mark.parametrize("g", [None, 1])
def test_sparse_search_matches_model(seg, q, k, g):
    h, rows = seg
    flt = None if g is None else json.dumps({"g": g})
    got = h.sparse_search(q, k, flt)
    assert all(type(r) is tuple and type(r[0]) is str and type(r[1]) is float for r in got)
    check_against_model(got, model(rows, q, k, g), k)


def test_sparse_ties_by_slot_and_upserts(seg):
    h, rows = seg
    got = h.sparse_search([(1, 1.0), (18, 1.0)], 1000)
    ids = [r for r, _ in got]
    assert "r18" in ids  # the upserted version, found through the delta postings
    assert not any(r in ids for r in ("r0", "r13", "r26"))  # deleted
    # A zero weight makes every holder a candidate with score 0.
    zero = h.sparse_search([(11, 0.0)], 1000)
    assert zero and all(s == 0.0 for _, s in zero)


def test_hybrid_is_rrf_of_dense_and_sparse(seg):
    h, _ = seg
    q = vectors(1, seed=9)[0]
    sq = [(3, 1.0), (4, 0.5)]
    for k, rrf_k in [(5, 60.0), (0, 60.0), (3, 1.5), (50, 0.25)]:
        cand = max(10 * k, 100)
        dense = h.search(q.tobytes(), cand, 64, 500)
        sparse = h.sparse_search(sq, cand)
        fused = {}
        for lst in (dense, sparse):
            for r, (rid, _) in enumerate(lst):
                c = F(1.0) / (F(F(F(r) + F(rrf_k)) + F(1.0)))
                fused[rid] = F(c + fused.get(rid, F(0)))
        want = sorted(fused.items(), key=lambda p: -p[1])[:k]
        got = h.search_hybrid(q.tobytes(), sq, k, rrf_k=rrf_k)
        assert [s for _, s in got] == [float(s) for _, s in want]
        assert {r for r, _ in got} <= set(fused)
    # Ranks 2 and 5 with rrf_k 60: (1/63) + (1/66), dense first.
    assert float(F(1.0) / F(63.0) + F(1.0) / F(66.0)) == float(F(F(1.0) / F(F(F(2) + F(60)) + F(1))) +
                                                               F(F(1.0) / F(F(F(5) + F(60)) + F(1))))


def test_hybrid_with_empty_sparse_query_is_dense_ranks(seg):
    h, _ = seg
    q = vectors(1, seed=10)[0]
    dense = h.search(q.tobytes(), 100, 64, 500)
    got = h.search_hybrid(list(map(float, q)), [], 10)
    assert [r for r, _ in got] == [r for r, _ in dense[:10]]
    assert [s for _, s in got] == [float(F(1.0) / F(F(F(r) + F(60.0)) + F(1.0))) for r in range(10)]


def test_hybrid_ensure_target_k_uses_the_exact_list(seg):
    h, _ = seg
    q = vectors(1, seed=11)[0]
    flt = json.dumps({"g": 2})
    exact = h.search(q.tobytes(), 1000, 1, 1, flt, True)
    got = h.search_hybrid(q.tobytes(), [], len(exact), nprobe=1, rerank=1, filter_json=flt, ensure_target_k=True)
    assert [r for r, _ in got] == [r for r, _ in exact]


QB = vectors(1, seed=1)[0].tobytes()
RRF_MSG = "rrf_k must be a finite positive number, got {}"

HYBRID_ERRORS = [
    # sparse_query first, then the scalars, then the query
    ((QB, "ab", 3), {}, TypeError, "argument 'sparse_query': *"),
    ((QB, 5, 3), {}, TypeError, "argument 'sparse_query': *"),
    ((QB, [[1, 1.0]], 3), {}, TypeError, "argument 'sparse_query': *"),
    ((QB, [("a", 1.0)], 3), {}, TypeError, "argument 'sparse_query': *"),
    ((QB, [(1, "w")], 3), {}, TypeError, "argument 'sparse_query': *"),
    ((QB, [(1, 1.0, 2)], 3), {}, ValueError, None),
    ((QB, [(-1, 1.0)], 3), {}, OverflowError, None),
    ((QB, [(2**32, 1.0)], 3), {}, OverflowError, None),
    ((b"\0" * 6, [], -1), {}, OverflowError, None),
    ((QB, [], "3"), {}, TypeError, "argument 'k': *"),
    ((QB, [], 3), {"nprobe": -1}, OverflowError, None),
    ((QB, [], 3), {"rerank": 1.5}, TypeError, "argument 'rerank': *"),
    ((QB, [], 3), {"filter_json": 3}, TypeError, "argument 'filter_json': *"),
    ((QB, [], 3), {"rrf_k": "60"}, TypeError, "argument 'rrf_k': *"),
    ((QB, [], 3), {"ensure_target_k": 1}, TypeError, "argument 'ensure_target_k': *"),
    ((b"\0" * 6, [], 3), {}, ValueError, "vector bytes length 6 is not a multiple of 4 (little-endian f32)"),
    ((b"\0" * 8, [], 3), {}, ValueError, f"query dim 2 != {DIM}"),
    (([math.inf] + [0.0] * (DIM - 1), [], 3), {}, ValueError,
     "query has a non-finite component at index 0 (inf); a NaN/inf vector cannot be ranked"),
    ((QB, [(1, 1.0), (2, math.nan)], 3), {}, ValueError,
     "sparse query has a non-finite weight at position 1 (NaN); a NaN/inf sparse weight cannot be ranked"),
    ((QB, [(1, 1e39)], 3), {}, ValueError,
     "sparse query has a non-finite weight at position 0 (inf); a NaN/inf sparse weight cannot be ranked"),
    ((QB, [], 3), {"rrf_k": 0}, ValueError, RRF_MSG.format("0")),
    ((QB, [], 3), {"rrf_k": -0.0}, ValueError, RRF_MSG.format("-0")),
    ((QB, [], 3), {"rrf_k": -1}, ValueError, RRF_MSG.format("-1")),
    ((QB, [], 3), {"rrf_k": math.nan}, ValueError, RRF_MSG.format("NaN")),
    ((QB, [], 3), {"rrf_k": math.inf}, ValueError, RRF_MSG.format("inf")),
    ((QB, [], 3), {"rrf_k": -math.inf}, ValueError, RRF_MSG.format("-inf")),
    ((QB, [], 3), {"rrf_k": 1e39}, ValueError, RRF_MSG.format("inf")),
    ((QB, [], 3), {"rrf_k": 1e-46}, ValueError, RRF_MSG.format("0")),
    ((QB, [], 3), {"rrf_k": -0.5}, ValueError, RRF_MSG.format("-0.5")),
    # the shortest digits that read back as the same float32, never an exponent
    ((QB, [], 3), {"rrf_k": -1e30}, ValueError, RRF_MSG.format("-1" + "0" * 30)),
    ((QB, [], 3), {"rrf_k": -123456789.0}, ValueError, RRF_MSG.format("-123456790")),
    ((QB, [], 3), {"rrf_k": -3.4028234663852886e38}, ValueError, RRF_MSG.format("-34028235" + "0" * 31)),
    ((QB, [], 3), {"rrf_k": -0.1}, ValueError, RRF_MSG.format("-0.1")),
    ((QB, [], 3), {"rrf_k": -1.5e-5}, ValueError, RRF_MSG.format("-0.000015")),
    ((QB, [], 3), {"rrf_k": -1234.5}, ValueError, RRF_MSG.format("-1234.5")),
    ((QB, [], 3), {"rrf_k": -1e-45}, ValueError, RRF_MSG.format("-0." + "0" * 44 + "1")),
    ((QB, [], 3), {"filter_json": "{bad"}, ValueError, "*"),
    ((QB, []), {}, TypeError, None),
    ((QB, [], 3), {"bogus": 1}, TypeError, None),
]

SPARSE_ERRORS = [
    (("ab", 3), {}, TypeError, "argument 'sparse_query': *"),
    (([[1, 1.0]], 3), {}, TypeError, "argument 'sparse_query': *"),
    (([(1,)], 3), {}, ValueError, None),
    (([(-1, 1.0)], 3), {}, OverflowError, None),
    (([], -1), {}, OverflowError, None),
    (([], "3"), {}, TypeError, "argument 'k': *"),
    (([], 3), {"filter_json": 3}, TypeError, "argument 'filter_json': *"),
    (([(1, math.inf)], 3), {}, ValueError,
     "sparse query has a non-finite weight at position 0 (inf); a NaN/inf sparse weight cannot be ranked"),
    (([], 3), {"filter_json": "{bad"}, ValueError, "*"),
]


def check(exc_info, exc, text):
    assert type(exc_info.value) is exc
    if text is None:
        return
    msg = exc_info.value.args[0]
    if text.endswith("*"):
        assert msg.startswith(text[:-1]), msg
    else:
        assert msg == text


@pytest.mark.parametrize("args,kwargs,exc,text", HYBRID_ERRORS)
def test_hybrid_argument_errors(seg, args, kwargs, exc, text):
    h, _ = seg
    with pytest.raises(Exception) as ei:
        h.search_hybrid(*args, **kwargs)
    check(ei, exc, text)


@pytest.mark.parametrize("args,kwargs,exc,text", SPARSE_ERRORS)
def test_sparse_argument_errors(seg, args, kwargs, exc, text):
    h, _ = seg
    with pytest.raises(Exception) as ei:
        h.sparse_search(*args, **kwargs)
    check(ei, exc, text)


def test_refused_rrf_k_prints_shortest_float32_digits(seg):
    # numpy's shortest positional form of a float32 is an independent reference
    h, _ = seg
    rng = np.random.default_rng(7)
    bits = rng.integers(0x80000001, 0xFF800000, size=300, dtype=np.uint64).astype(np.uint32)
    for v in bits.view(np.float32):
        want = np.format_float_positional(v, unique=True, trim="-")
        with pytest.raises(ValueError) as ei:
            h.search_hybrid(QB, [], 3, rrf_k=float(v))
        assert ei.value.args[0] == RRF_MSG.format(want), float(v)


def test_valid_rrf_k_edges_and_huge_sizes(seg):
    h, _ = seg
    assert len(h.search_hybrid(QB, [(3, 1.0)], 5, rrf_k=1e-45)) == 5  # subnormal: accepted
    assert len(h.search_hybrid(QB, [(3, 1.0)], 2**64 - 1, nprobe=2**64 - 1, rerank=2**64 - 1)) > 0
    assert len(h.sparse_search([(3, 1.0)], 2**63)) > 0


def test_unbuilt_handle(tmp_path):
    h = RabitqIndex(str(tmp_path / "none"), DIM)
    for call in (lambda: h.sparse_search([(1, 1.0)], 3), lambda: h.search_hybrid(QB, [], 3)):
        with pytest.raises(RuntimeError) as ei:
            call()
        assert ei.value.args[0] == "index not built/opened"


def test_signatures_and_docs():
    assert RabitqIndex.search_hybrid.__text_signature__ == (
        "($self, query, sparse_query, k, nprobe=64, rerank=500, filter_json=None, rrf_k=60.0, "
        "ensure_target_k=False)")
    assert RabitqIndex.sparse_search.__text_signature__ == "($self, sparse_query, k, filter_json=None)"
    assert RabitqIndex.search_hybrid.__doc__ == (
        "Hybrid dense+sparse search fused by Reciprocal Rank Fusion. `sparse_query`\n"
        "is [(term, weight), ...]. Returns [(id, rrf_score)] descending.")
    assert RabitqIndex.sparse_search.__doc__ == (
        "Sparse-only retrieval returning [(id, score)] descending. Used by the LSM\n"
        "coordinator to fuse dense+sparse on global ranks across segments.")
