"""The static batch lookups over one or more columns' segments, newest first:
`distances_to_many` (bit for bit the per-segment distances and what `search` reports) and the
metadata status checks `meta_status_across` / `meta_status_columns` (against a model that
chains single-segment answers; the parallel option identical to the serial one)."""

import json
import math
import random
import struct

import numpy as np
import pytest

from segtools import DIM, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)

NAN = float("nan")
PATHS = []  # the directories of the fixture's newest and older segment
dtm = RabitqIndex.distances_to_many
across = RabitqIndex.meta_status_across
columns = RabitqIndex.meta_status_columns


@pytest.fixture(scope="module")
def segs(tmp_path_factory):
    """A column of two segments, newest first. old: o0..o299 with {"a": 1} ("null" for
    o205); new: o0..o99 with {"a": 2} (o3 deleted, o4 stores null), plus o300..o349; a
    third segment of another dim; an unbuilt handle."""
    base = tmp_path_factory.mktemp("batch")
    old = RabitqIndex(str(base / "old"), DIM)
    ids = [f"o{i}" for i in range(300)]
    metas = ['{"a":1}'] * 300
    metas[205] = "null"
    old.build(vectors(300, seed=1).tobytes(), 300, ids, metas, 4)
    new = RabitqIndex(str(base / "new"), DIM)
    ids = [f"o{i}" for i in range(100)] + [f"o{i}" for i in range(300, 350)]
    metas = ['{"a":2}'] * 150
    metas[4] = "null"
    new.build(vectors(150, seed=2).tobytes(), 150, ids, metas, 4)
    new.delete("o3")
    new.add("o400", vectors(1, seed=9)[0].tobytes(), '{"a":2,"b":[1,2]}')
    other = RabitqIndex(str(base / "other"), 4)
    other.build(vectors(10, dim=4).tobytes(), 10, [f"o{i}" for i in range(10)], ["{}"] * 10, 1)
    unbuilt = RabitqIndex(str(base / "none"), DIM)
    PATHS[:] = [str(base / "new"), str(base / "old")]
    return new, old, other, unbuilt


def bits(xs):
    return struct.pack(f"<{len(xs)}f", *xs)


# ---------------------------------------------------------------------------------------
# distances_to_many
# ---------------------------------------------------------------------------------------


def test_distances_equal_search_and_per_source(segs):
    new, old, _, _ = segs
    q = vectors(1, seed=5)[0]
    qb = q.tobytes()
    for h, n in ((old, 300), (new, 150)):
        hits = h.search(qb, n + 10, 64, 1000, None, True)
        ids = [i for i, _ in hits]
        got = dtm([([h], ids, qb)])[0]
        assert bits(got) == bits([d for _, d in hits])
    # newest live source wins; deleted in the newest -> the older one; nowhere -> NaN
    ids = ["o1", "o3", "o150", "o320", "o400", "zz", "o1"]
    got = dtm([([new, old], ids, qb)])[0]
    one_new = dtm([([new], ids, qb)])[0]
    one_old = dtm([([old], ids, qb)])[0]
    want = [a if not math.isnan(a) else b for a, b in zip(one_new, one_old)]
    assert bits(got) == bits(want)
    assert [math.isnan(x) for x in got] == [False, False, False, False, False, True, False]
    assert bits([got[1]]) == bits([one_old[1]]) and math.isnan(one_new[1])


def test_several_queries_take_the_minimum_and_parallel_is_identical(segs):
    new, old, _, _ = segs
    qs = vectors(3, seed=8)
    ids = [f"o{i}" for i in range(0, 360, 2)]
    for n in (0, 1, 63, 64, 65, 180):
        sel = ids[:n]
        per = [dtm([([new, old], sel, q.tobytes())], False)[0] for q in qs]
        want = [min(v) if not any(math.isnan(x) for x in v) else NAN for v in zip(*per)] if n else []
        a = dtm([([new, old], sel, qs.tobytes())], True)[0]
        b = dtm([([new, old], sel, qs.tobytes())], False)[0]
        assert bits(a) == bits(b) == bits(want)


def test_distances_edge_cases(segs, probe):
    new, old, _, unbuilt = segs
    qb = vectors(1)[0].tobytes()
    assert dtm([]) == []
    out = dtm([([], ["a", "b"], b"junk"), ([new], [], qb)])
    assert len(out[0]) == 2 and all(math.isnan(x) for x in out[0]) and out[1] == []
    with pytest.raises(RuntimeError) as ei:
        dtm([([new], ["o1"], qb), ([unbuilt], [], qb)])
    assert ei.value.args == ("index not built/opened",)
    before = probe("distances_releases")
    dtm([])
    dtm([([new], ["o1"], qb), ([old], ["o2"], qb)])
    assert probe("distances_releases") - before == 2
    # a validation error releases nothing
    with pytest.raises(ValueError):
        dtm([([new], ["o1"], b"abc")])
    assert probe("distances_releases") - before == 2


def test_distances_errors(segs):
    new, old, other, unbuilt = segs
    qb = vectors(1)[0].tobytes()
    half = struct.pack(f"<{DIM}f", *([3e18] * DIM))  # each within the norm limit, not both
    cases = [
        ((["x"],), TypeError, "argument 'jobs': expected tuple, got str"),
        (("abc",), TypeError, "argument 'jobs': a str is not accepted where a list is expected"),
        (([([new], ["o1"])],), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        (([([1], ["o1"], qb)],), TypeError, "argument 'jobs': expected RabitqIndex, got int"),
        (([([new], [1], qb)],), TypeError, "argument 'jobs': expected str, got int"),
        (([([new], ["o1"], bytearray(qb))],), TypeError, "argument 'jobs': expected bytes, got bytearray"),
        (([([new], ["o1"], qb)], 1), TypeError, "argument 'parallel': expected bool, got int"),
        (([([new, other], ["o1"], qb)],), ValueError,
         f"queries must be whole {DIM}-dim little-endian f32 vectors for sources of one dim, got {len(qb)} bytes"),
        (([([new], ["o1"], b"")],), ValueError,
         f"queries must be whole {DIM}-dim little-endian f32 vectors for sources of one dim, got 0 bytes"),
        (([([new], ["o1"], qb[:-4])],), ValueError,
         f"queries must be whole {DIM}-dim little-endian f32 vectors for sources of one dim, got {len(qb) - 4} bytes"),
        (([([new], ["o1"], qb + struct.pack(f"<{DIM}f", *([0.0] * (DIM - 1) + [math.inf])))],), ValueError,
         f"query has a non-finite component at index {2 * DIM - 1} (inf); a NaN/inf vector cannot be ranked"),
        (([([new], ["o1"], half + half)],), ValueError, "*"),
        # validation of every job comes before any lookup: the unbuilt source is never reached
        (([([unbuilt], ["o1"], qb), ([new], ["o1"], b"abc")],), ValueError, "queries must be whole *"),
        (([([new], ["o1"], qb), ([old, unbuilt], ["o1"], qb)],), RuntimeError, "index not built/opened"),
    ]
    dtm([([new], ["o1"], half)])  # one such query alone is fine
    for args, exc, text in cases:
        with pytest.raises(Exception) as ei:
            dtm(*args)
        assert type(ei.value) is exc, (args, ei.value)
        assert len(ei.value.args) == 1
        msg = ei.value.args[0]
        assert msg.startswith(text[:-1]) if text.endswith("*") else msg == text, msg
    assert dtm.__text_signature__ == "(jobs, parallel=True)"
    assert dtm.__doc__.startswith("For each job `(sources, ids, queries)`: per id, the distance a search would report\n")


# ---------------------------------------------------------------------------------------
# metadata status
# ---------------------------------------------------------------------------------------


def chain_model(sources, ids, metas):
    """Per id, the first non-zero single-source answer, newest first."""
    status = [0] * len(ids)
    for src in sources:
        one = across([src], ids, metas, False)
        for i, s in enumerate(one):
            if status[i] == 0 and s != 0:
                status[i] = s
    return bytes(status)


def test_status_across_hand_cases(segs):
    new, old, _, _ = segs
    cases = [
        ("o0", '{"a":1}', 2),  # live in the newest with other metadata: older not consulted
        ("o0", '{ "a" : 2 }', 1),  # whitespace does not matter
        ("o3", '{"a":1}', 1),  # deleted in the newest: the older decides
        ("o4", '{"a":1}', 1),  # the newest stores null: passed on
        ("o4", "null", 1),
        ("o205", "null", 1),  # only the older holds it, with null
        ("o205", '{"a":1}', 0),
        ("o200", '{"a":1}', 1),
        ("o200", "not json", 2),
        ("o400", '{"b":[1,2],"a":2}', 1),  # key order does not matter
        ("zz", '{"a":1}', 0),
    ]
    ids = [c[0] for c in cases]
    metas = [c[1] for c in cases]
    got = across([new, old], ids, metas)
    assert type(got) is bytes
    assert list(got) == [c[2] for c in cases]
    assert got == chain_model([new, old], ids, metas)
    assert across([], ids, metas) == bytes(len(ids))
    assert across([new, old], [], []) == b""
    # the same handle twice is consulted twice (harmless)
    assert across([new, new, old], ids, metas) == got


def test_status_random_against_model_parallel_identical(segs):
    new, old, _, _ = segs
    rng = random.Random(3)
    pool = [f"o{i}" for i in range(0, 420)] + ["zz"]
    texts = ['{"a":1}', '{"a":2}', "null", '{"a": 1.0}', "not json", '{"a":2,"b":[1,2]}', ""]
    for n in (0, 5, 255, 256, 700):
        ids = [rng.choice(pool) for _ in range(n)]
        metas = [rng.choice(texts) for _ in range(n)]
        for srcs in ([new, old], [old, new], [old]):
            a = across(srcs, ids, metas, True)
            assert a == across(srcs, ids, metas, False) == chain_model(srcs, ids, metas)
            # one column with rows None is the positions of 2 in the across result
            want = [i for i, s in enumerate(a) if s == 2]
            if n:
                assert columns([(srcs, None)], ids, "\n".join(metas)) == [want]
        if not n:
            continue
        rows = [rng.randrange(n) for _ in range(n // 2)] + [0, 0]
        cols = [([new, old], None), ([old], rows), ([], None), ([new], rows[:3]), ([old, new], [])]
        joined = "\n".join(metas)
        a = columns(cols, ids, joined, True)
        assert a == columns(cols, ids, joined, False)
        for (srcs, r), got in zip(cols, a):
            sel = list(range(n)) if r is None else r
            st = chain_model(srcs, [ids[i] for i in sel], [metas[i] for i in sel])
            assert got == [i for i, s in zip(sel, st) if s == 2]


def test_status_errors(segs):
    new, old, _, unbuilt = segs
    m = '{"a":1}'
    across_cases = [
        (([new], ["o1"], [m, m]), ValueError, "1 ids but 2 metadata"),
        (("abc", ["o1"], [m]), TypeError, "argument 'sources': *"),
        (([new, 3], ["o1"], [m]), TypeError, "argument 'sources': expected RabitqIndex, got int"),
        (([new], "o1", [m]), TypeError, "argument 'ids': *"),
        (([new], ["o1"], [1]), TypeError, "argument 'metas': expected str, got int"),
        (([new], ["o1"], [m], 1), TypeError, "argument 'parallel': expected bool, got int"),
        (([new, unbuilt], [], []), RuntimeError, "index not built/opened"),
    ]
    for args, exc, text in across_cases:
        with pytest.raises(Exception) as ei:
            across(*args)
        check(ei, exc, text)
    column_cases = [
        (([([new], None)], ["a", "b"], ""), ValueError, "2 ids but 1 metadata"),
        (([([new], None)], ["a"], m + "\n"), ValueError, "1 ids but 2 metadata"),
        (([([new], [0, 1])], ["a"], m), ValueError, "a row index is out of range for 1 ids"),
        (([([new], [0])], [], ""), ValueError, "a row index is out of range for 0 ids"),
        (([([new], [-1])], ["a"], m), OverflowError, None),
        (([([new],)], ["a"], m), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (([[[new], None]], ["a"], m), TypeError, "argument 'columns': expected tuple, got list"),
        (("ab", ["a"], m), TypeError, "argument 'columns': a str is not accepted where a list is expected"),
        (([("ab", None)], ["a"], m), TypeError, "argument 'columns': *"),
        (([([new], "ab")], ["a"], m), TypeError, "argument 'columns': *"),
        (([([new], None)], ["a"], [m]), TypeError, "argument 'metas': expected str, got list"),
        # a row index error comes before any source is opened
        (([([unbuilt], None), ([new], [3])], ["a"], m), ValueError, "a row index is out of range for 1 ids"),
        (([([new], None), ([old, unbuilt], None)], ["a"], m), RuntimeError, "index not built/opened"),
    ]
    for args, exc, text in column_cases:
        for parallel in (True, False):
            with pytest.raises(Exception) as ei:
                columns(*args, parallel)
            check(ei, exc, text)


def check(ei, exc, text):
    assert type(ei.value) is exc, ei.value
    assert len(ei.value.args) == 1
    if text is not None:
        msg = ei.value.args[0]
        assert msg.startswith(text[:-1]) if text.endswith("*") else msg == text, msg


def test_columns_edge_cases(segs):
    new, old, _, _ = segs
    assert columns([], ["o1"], '{"a":9}') == []
    assert columns([([new], None), ([old], None)], [], "ignored\nentirely") == [[], []]
    # one id, empty text: one row, not JSON -> different wherever a live row is not null
    assert columns([([new, old], None)], ["o1"], "") == [[0]]
    got = columns([([new, old], [1, 0, 1])], ["o1", "o3"], '{"a":2}\n{"a":2}')
    assert got == [[1, 1]]  # o3 is decided by the older segment ({"a":1}); duplicates reported twice


def test_sources_dropped_by_another_thread_during_calls(segs):
    """The source handles are held by the calls: another thread that empties the caller's
    lists (dropping the only other reference to the handles) while the lock is released
    changes no answer."""
    import threading

    new, old, _, _ = segs
    paths = list(PATHS)
    q = vectors(1, seed=4).tobytes()
    ids = [f"o{i}" for i in range(0, 400, 3)]
    want_d = dtm([([new, old], ids, q)], False)[0]
    metas = ['{"a":1}'] * len(ids)
    want_s = columns([([new, old], None)], ids, "\n".join(metas), False)
    hits = [(i, 0.5) for i in ids]
    want_f = RabitqIndex.tdql_fuse(2, [(0, 1.0, False, hits), (1, 1.0, False, hits[:5])], [1.0, 1.0], None, None,
                                   False, [([new, old], None, [(1.0, q)])] * 2, [], None, True)
    shared = []
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            shared[:] = [RabitqIndex(p, DIM) for p in paths]

    churn_once = [RabitqIndex(p, DIM) for p in paths]
    shared[:] = churn_once
    del churn_once
    t = threading.Thread(target=churn)
    t.start()
    try:
        for _ in range(30):
            assert bits(dtm([(shared, ids, q)], True)[0]) == bits(want_d)
            assert columns([(shared, None)], ids, "\n".join(metas), True) == want_s
            got = RabitqIndex.tdql_fuse(2, [(0, 1.0, False, hits), (1, 1.0, False, hits[:5])], [1.0, 1.0], None,
                                        None, False, [(shared, None, [(1.0, q)])] * 2, [], None, True)
            assert got[3:] == want_f[3:]
    finally:
        stop.set()
        t.join()

