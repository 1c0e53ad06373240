"""`RabitqIndex.search`: argument order and texts, filters, query forms, results."""

import math
import struct

import numpy as np
import pytest

from segtools import DIM, build, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

Q = vectors(1, seed=42)[0]
QB = Q.tobytes()


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("s") / "idx")
    h = RabitqIndex(path, DIM)
    x = build(h, n=400)
    return h, x


@pytest.fixture
def unbuilt(tmp_path):
    return RabitqIndex(str(tmp_path / "idx"), DIM)


# (positional args, keyword args, exception, exact message or prefix ending in "*")
ERRORS = [
    # scalars are converted before the query is looked at
    (("not a query", "x"), {}, TypeError, "argument 'k': *"),
    ((b"\0" * 6, -1), {}, OverflowError, None),
    ((QB, 2.0), {}, TypeError, "argument 'k': *"),
    ((QB, 3), {"nprobe": -1}, OverflowError, None),
    ((QB, 3), {"rerank": 2.0}, TypeError, "argument 'rerank': *"),
    ((QB, 3), {"filter_json": 1}, TypeError, "argument 'filter_json': *"),
    ((QB, 3), {"ensure_target_k": 1}, TypeError, "argument 'ensure_target_k': *"),
    ((QB,), {}, TypeError, None),
    ((QB, 3), {"bogus": 1}, TypeError, None),
    # then the query
    ((b"\0" * 6, 3), {}, ValueError, "vector bytes length 6 is not a multiple of 4 (little-endian f32)"),
    ((b"", 3), {}, ValueError, f"query dim 0 != {DIM}"),
    ((list(Q)[:3], 3), {}, ValueError, f"query dim 3 != {DIM}"),
    (("abcdefgh", 3), {}, TypeError, None),
    ((5, 3), {}, TypeError, None),
    ((["a"] * DIM, 3), {}, TypeError, None),
    ((bytearray(QB), 3), {}, ValueError, f"query dim {DIM * 4} != {DIM}"),
    (([0.0] * (DIM - 1) + [math.nan], 3), {}, ValueError,
     f"query has a non-finite component at index {DIM - 1} (NaN); a NaN/inf vector cannot be ranked"),
    (([1e30] * DIM, 3), {}, ValueError, "*"),
]


def check(exc_info, exc, text):
    assert type(exc_info.value) is exc
    assert len(exc_info.value.args) == 1
    msg = exc_info.value.args[0]
    if text is None:
        return
    if text.endswith("*"):
        assert msg.startswith(text[:-1]), msg
    else:
        assert msg == text


@pytest.mark.parametrize("args,kwargs,exc,text", ERRORS)
def test_argument_errors_come_before_the_index(unbuilt, built, args, kwargs, exc, text):
    for h in (unbuilt, built[0]):
        with pytest.raises(exc) as e:
            h.search(*args, **kwargs)
        check(e, exc, text)


def test_unbuilt_reports_before_the_filter(unbuilt):
    with pytest.raises(RuntimeError) as e:
        unbuilt.search(QB, 3, filter_json="{{not json")
    check(e, RuntimeError, "index not built/opened")


FILTER_ERRORS = [
    ("NULL", "bad filter: *"),
    (" null", "filter must be an object, got null"),
    ("{", "bad filter: *"),
    ("[1]", "filter must be an object, got *"),
]


@pytest.mark.parametrize("text,msg", FILTER_ERRORS)
def test_filter_errors(built, text, msg):
    with pytest.raises(ValueError) as e:
        built[0].search(QB, 3, filter_json=text)
    check(e, ValueError, msg)


def test_no_filter_spellings(built):
    h, _ = built
    want = h.search(QB, 10)
    assert len(want) == 10
    for f in (None, "", "null"):
        assert h.search(QB, 10, filter_json=f) == want
    # "{}" is a filter every row passes, not the absence of one
    assert h.search(QB, 10, filter_json="{}") == want
    hit = h.search(QB, 10, filter_json='{"tag": "r17"}')
    assert [i for i, _ in hit] == ["r17"]


def test_query_forms_agree(built):
    h, _ = built

    class B(bytes):
        pass

    want = h.search(QB, 7)
    for q in (list(map(float, Q)), tuple(map(float, Q)), B(QB), [float(v) for v in Q]):
        assert h.search(q, 7) == want
    # numpy arrays: the numbers of their items, whatever their layout
    q32 = np.frombuffer(QB, dtype="<f4")
    for q in (q32, q32.astype(np.float64), np.repeat(q32, 2)[::2], q32[::-1].copy()[::-1]):
        assert h.search(q, 7) == want
    # a bytearray (and a list of ints) is a sequence of numbers, one per item
    ints = bytearray(range(DIM))
    assert h.search(ints, 5) == h.search([float(i) for i in range(DIM)], 5)


def test_sizes_zero_and_results(built):
    h, x = built
    assert h.search(QB, 0) == []
    assert len(h.search(QB, 5, nprobe=0)) == 5
    assert h.search(QB, 5, rerank=0) is not None
    res = h.search(x[11].tobytes(), 20, 64, 400)
    assert res[0] == ("r11", 0.0) or res[0][0] == "r11"
    d = [dist for _, dist in res]
    assert d == sorted(d) and len(res) == 20
    assert all(isinstance(i, str) and isinstance(v, float) for i, v in res)
    big = h.search(QB, 10**6, 64, 10**6)
    assert len(big) <= 400
    assert len(h.search(QB, 2**64 - 1)) <= 400


def test_ensure_target_k_fills_a_selective_filter(built):
    h, _ = built
    flt = '{"tag": {"$in": ["r1", "r2", "r3", "r250", "r399"]}}'
    assert len(h.search(QB, 5, nprobe=1, filter_json=flt, ensure_target_k=True)) == 5


def test_result_distances_are_float32(built):
    h, _ = built
    for _, d in h.search(QB, 5):
        assert struct.unpack("<f", struct.pack("<f", d))[0] == d


def test_result_ids_of_main_and_added_rows(tmp_path):
    # Ids of every length and script, from the segment and from rows added since, each found
    # by its own vector (distance 0) and next to its neighbours in one result.
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    x = vectors(40, seed=5)
    ids = [f"row-{i}-" + "ä€😀x" * (i % 7) + "-" * (3 * i) for i in range(30)]
    h.build(x[:30].tobytes(), 30, ids, ["{}"] * 30, 2)
    added = {f"added-{i}-" + "ß" * (5 * i): x[30 + i] for i in range(10)}
    for rid, v in added.items():
        h.add(rid, v.tobytes(), "{}")
    every = dict(zip(ids, x[:30])) | added
    for rid, v in every.items():
        hits = h.search(v.tobytes(), 3, nprobe=64)
        assert hits[0] == (rid, 0.0)
    res = h.search(x[0].tobytes(), 40, nprobe=64, rerank=400)
    assert sorted(i for i, _ in res) == sorted(every)


def test_search_called_again_while_its_query_is_read(built):
    # A query item whose conversion runs another search on the same thread: both calls
    # answer as if they had run alone.
    h, x = built
    want_outer, want_inner = h.search(QB, 10), h.search(x[3].tobytes(), 12)
    inner = []

    class Nested:
        def __init__(self, v):
            self.v = v

        def __float__(self):
            inner.append(h.search([float(v) for v in x[3]], 12))
            return self.v

    q = [float(v) for v in Q]
    q[DIM // 2] = Nested(q[DIM // 2])
    assert h.search(q, 10) == want_outer
    assert inner == [want_inner]
