"""Lookups by id: `get_meta` and `get_meta_bounded` (texts, budgets and their errors),
`has_ids`, `get_vectors`, `get_sparse`, `aggregate_by_ids`; concurrent readers while another thread writes."""

import json
import os
import threading

import numpy as np
import pytest

from segtools import DIM, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(180)

OVER = "search result exceeds max_result_bytes"


def canon(m):
    return json.dumps(m, separators=(",", ":"), sort_keys=True)


@pytest.fixture
def seg(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM, skip_fields=[])
    n = 50
    x = vectors(n)
    ids = [f"r{i}" for i in range(n)]
    metas = [{"c": ["red", "blue", "green"][i % 3], "k": i} for i in range(n)]
    metas[3] = None
    sparse = [[(i, 1.0 + i), (1000 + i % 5, 0.5)] if i % 4 else [] for i in range(n)]
    h.build(x.tobytes(), n, ids, [json.dumps(m) for m in metas], 4, sparse=sparse)
    return h, path, x, dict(zip(ids, metas)), dict(zip(ids, sparse))


def test_get_meta_texts(seg):
    h, _, x, metas, _ = seg
    h.add("d0", x[0].tobytes(), '{"z": 1, "a": [1, 2]}')
    h.add("r5", x[5].tobytes(), '{"up": true}')  # upsert
    h.add("nometa", x[1].tobytes())
    h.delete("r7")
    ids = ["r0", "r3", "r5", "r7", "d0", "nometa", "nope", "r0"]
    want = [canon(metas["r0"]), "null", '{"up":true}', "null", '{"a":[1,2],"z":1}', "null", "null",
            canon(metas["r0"])]
    assert h.get_meta(ids) == want
    assert h.get_meta(ids=ids, max_result_bytes=None) == want
    assert h.get_meta(ids, 10**9) == want
    texts, units, nulls = h.get_meta_bounded(ids, 10**9)
    assert texts == want and nulls == 4
    assert h.get_meta([]) == [] and h.get_meta([], 0) == []
    assert h.get_meta_bounded([], 0) == ([], 0, 0)


def test_budget_arithmetic(seg):
    h, _, x, _, _ = seg
    h.add("two", x[0].tobytes(), '{"a":1,"b":2}')  # 13 bytes: 288 + 128 + 2 x 256 = 928
    assert h.get_meta_bounded(["two"], 928) == (['{"a":1,"b":2}'], 928, 0)
    with pytest.raises(ValueError) as e:
        h.get_meta_bounded(["two"], 927)
    assert e.value.args == (OVER,)
    assert h.get_meta_bounded(["two"], 288 * 13, fast_upper=True)[1] == 288 * 13
    assert h.get_meta_bounded(["two"], 288 * 13 - 1, fast_upper=True)[1] == 928
    assert h.get_meta_bounded(["two", "two"], 2 * 928)[1] == 2 * 928
    # get_meta charges nulls (16 each); get_meta_bounded counts them and charges nothing.
    with pytest.raises(ValueError) as e:
        h.get_meta(["nope"], 0)
    assert e.value.args == (OVER,)
    assert h.get_meta(["nope"], 16) == ["null"]
    assert h.get_meta(["nope", "two"], 16 + 928) == ["null", '{"a":1,"b":2}']
    with pytest.raises(ValueError):
        h.get_meta(["nope", "two"], 16 + 927)
    h.delete("r1")
    assert h.get_meta_bounded(["nope", "r1", "r3", "nope"], 0) == (["null"] * 4, 0, 4)


def test_rebuilt_from_columns_without_meta_bin(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    x = vectors(3)
    h.build(x.tobytes(), 3, ["a", "b", "c"], ['{"n":2,"s":"x","t":true}', '{"n":1.5}', "null"], 1)
    h.close()
    for f in ("meta.bin", "meta_off.bin"):
        os.remove(os.path.join(path, f))
    h2 = RabitqIndex(path, DIM)
    assert h2.get_meta(["a", "b", "c"]) == ['{"n":2.0,"s":"x","t":true}', '{"n":1.5}', "{}"]
    assert h2.get_meta_bounded(["a", "b", "c"], 10**6)[0] == h2.get_meta(["a", "b", "c"])


def test_has_ids_and_vectors(seg):
    h, _, x, _, _ = seg
    h.delete("r2")
    h.add("d0", x[9].tobytes())
    h.add("r4", (x[4] * 3).tobytes())  # upsert with another vector
    ids = ["r0", "r2", "d0", "r4", "nope", "r0"]
    assert h.has_ids(ids) == [True, False, True, True, False, True]
    vecs = h.get_vectors(ids)
    assert [len(v) for v in vecs] == [DIM, 0, DIM, DIM, 0, DIM]
    for got, want in [(vecs[0], x[0]), (vecs[2], x[9]), (vecs[3], x[4] * 3)]:
        got = np.asarray(got, dtype=np.float64)
        assert np.max(np.abs(got - want)) <= np.max(np.abs(want)) / 100
    assert all(type(v) is float for v in vecs[0])
    # The stored float order: ((code - 128) / 127) x scale in float32.
    assert vecs[0] == [float(np.float32(v)) for v in vecs[0]]
    assert h.has_ids([]) == [] and h.get_vectors([]) == [] and h.get_sparse([]) == []


def test_get_sparse(seg):
    h, _, x, _, sparse = seg
    h.add("d0", x[0].tobytes(), None, [(9, 2.0), (3, 1.0)])
    h.delete("r5")
    few = ["r1", "r4", "r5", "d0", "nope", "r6"]
    got = h.get_sparse(few)
    assert sorted(got[0]) == sorted(sparse["r1"])
    assert got[1] == [] and got[2] == [] and got[4] == []
    assert got[3] == [(9, 2.0), (3, 1.0)]
    assert sorted(got[5]) == sorted(sparse["r6"])
    assert all(type(t) is int and type(w) is float for t, w in got[0])
    many = few + ["nope"] * 60  # 64 ids and more invert all postings: same answers
    assert h.get_sparse(many)[: len(few)] == got


def test_aggregate_by_ids(seg):
    h, _, x, metas, _ = seg
    h.add("d0", x[0].tobytes(), '{"c":"red","g":"new"}')
    h.delete("r0")
    ids = ["r0", "r1", "r2", "r3", "r4", "nope", "d0", "r1"]
    counts, resolved = h.aggregate_by_ids("c", ids)
    assert counts == {"blue": 3, "green": 1, "red": 1}
    assert resolved == [1, 2, 3, 4, 6, 7]  # r3 has no value: claimed, not counted
    assert h.aggregate_by_ids("g", ids) == ({"new": 1}, [1, 2, 3, 4, 6, 7])
    assert h.aggregate_by_ids("c", []) == ({}, [])
    for field in ("k", "unknown"):
        assert h.aggregate_by_ids(field, ids) is None
        assert h.aggregate_by_ids(field, []) is None


ERRORS = [
    ("get_meta", ("r0",), {}, TypeError, "argument 'ids': *"),
    ("get_meta", ([1],), {}, TypeError, "argument 'ids': *"),
    ("get_meta", (5,), {}, TypeError, "argument 'ids': *"),
    ("get_meta", (["r0"], -1), {}, OverflowError, None),
    ("get_meta", (["r0"], 1.5), {}, TypeError, "argument 'max_result_bytes': *"),
    ("get_meta", (), {}, TypeError, None),
    ("get_meta_bounded", (["r0"],), {}, TypeError, None),
    ("get_meta_bounded", (["r0"], None), {}, TypeError, "argument 'max_result_bytes': *"),
    ("get_meta_bounded", (["r0"], 2**64), {}, OverflowError, None),
    ("get_meta_bounded", (["r0"], 5, 1), {}, TypeError, "argument 'fast_upper': *"),
    ("has_ids", ("abc",), {}, TypeError, "argument 'ids': *"),
    ("get_vectors", ({"a": 1},), {}, TypeError, "argument 'ids': *"),
    ("get_sparse", (["a", None],), {}, TypeError, "argument 'ids': *"),
    ("get_sparse", (), {"idz": []}, TypeError, None),
    ("aggregate_by_ids", (1, []), {}, TypeError, "argument 'field': *"),
    ("aggregate_by_ids", ("c", "r0"), {}, TypeError, "argument 'ids': *"),
    ("aggregate_by_ids", ("c",), {}, TypeError, None),
]


@pytest.mark.parametrize("name,args,kwargs,exc,text", ERRORS)
def test_argument_errors_come_before_the_index(tmp_path, seg, name, args, kwargs, exc, text):
    unbuilt = RabitqIndex(str(tmp_path / "none"), DIM)
    for h in (unbuilt, seg[0]):
        with pytest.raises(exc) as e:
            getattr(h, name)(*args, **kwargs)
        assert type(e.value) is exc and len(e.value.args) == 1
        if text:
            assert e.value.args[0].startswith(text[:-1]), e.value.args[0]


@pytest.mark.parametrize("name,args", [("get_meta", (["a"],)), ("get_meta", (["a"], 0)),
                                       ("get_meta_bounded", (["a"], 0)), ("has_ids", (["a"],)),
                                       ("get_vectors", (["a"],)), ("get_sparse", (["a"],)),
                                       ("aggregate_by_ids", ("c", ["a"]))])
def test_unbuilt(tmp_path, name, args):
    h = RabitqIndex(str(tmp_path / "none"), DIM)
    with pytest.raises(RuntimeError) as e:
        getattr(h, name)(*args)
    assert e.value.args == ("index not built/opened",)


def test_readers_during_writes(tmp_path):
    """Scans and lookups on several threads while another thread upserts, adds, deletes and
    flushes: every answer is one some state of the segment gives."""
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM, skip_fields=[])
    n = 200
    x = vectors(n)
    base = [f"r{i}" for i in range(n)]
    h.build(x.tobytes(), n, base, [json.dumps({"c": "a", "k": i}) for i in range(n)], 4)
    stop = threading.Event()
    errors = []

    def reader(k):
        try:
            while not stop.is_set():
                c = h.count_matching()
                assert n <= c <= n + 1, c
                assert set(base) <= set(h.ids_matching('{"k":{"$gte":0}}'))
                assert h.exists_matching('{"c":"a"}')
                assert len(h.ids_matching_limit(None, n)) == n
                assert all(h.has_ids(base))
                assert "null" not in h.get_meta(base)
                assert h.get_meta_bounded(base, 2**40, k % 2 == 0)[2] == 0
                assert all(len(v) == DIM for v in h.get_vectors(base[:20]))
                h.get_sparse(base[:70])
                counts, resolved = h.aggregate_by_ids("c", base)
                assert len(resolved) == n and sum(counts.values()) == n
        except Exception as exc:  # reported by the main thread
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    try:
        for i in range(300):
            if stop.is_set():
                break
            h.add(base[i % n], x[i % n].tobytes(), json.dumps({"c": "a", "k": i, f"g{i % 5}": "v"}))
            h.add(f"tmp{i}", x[0].tobytes(), '{"c":"b"}')
            h.delete(f"tmp{i}")
            if i % 60 == 59:
                h.flush()
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert not errors, errors[0]


def test_signatures_and_docs():
    assert RabitqIndex.get_meta.__text_signature__ == "($self, ids, max_result_bytes=None)"
    assert RabitqIndex.get_meta_bounded.__text_signature__ == "($self, ids, max_result_bytes, fast_upper=False)"
    assert RabitqIndex.aggregate_by_ids.__text_signature__ == "($self, field, ids)"
    has = RabitqIndex.has_ids.__doc__.splitlines()
    assert has[-3] == 'this index. The cheap answer to "is this id here?" \u2014 unlike get_meta it never'
    agg = RabitqIndex.aggregate_by_ids.__doc__.splitlines()
    assert agg[-4] == "`(counts, resolved_indices)` \u2014 the indices of the ids this index claimed, so the"
    assert RabitqIndex.get_meta.__doc__.splitlines()[-2] == (
        'Batch metadata lookup: one JSON string per id ("null" if missing/deleted).')
