"""`RabitqIndex.tdql_fuse`: the native fusion against a step-by-step Python model on random
inputs (pool, bans, gates, fills from segments newest first, weights, prefer boosts, top
selection with ties), the argument errors with their exact texts, and the single release of
the interpreter lock."""

import math
import random
import struct

import numpy as np
import pytest

from fuse_model import fuse_model
from segtools import DIM, build, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)

NAN = float("nan")
INF = float("inf")
fuse = RabitqIndex.tdql_fuse


@pytest.fixture(scope="module")
def segments(tmp_path_factory):
    """Three segments of one column, newest first: the newest holds r100..r159 (r100..r109
    deleted), the middle r50..r149 with other vectors, the oldest r0..r119."""
    base = tmp_path_factory.mktemp("fuse")
    old = RabitqIndex(str(base / "old"), DIM)
    build(old, n=120, seed=1)
    mid = RabitqIndex(str(base / "mid"), DIM)
    x = vectors(100, seed=2)
    mid.build(x.tobytes(), 100, [f"r{i}" for i in range(50, 150)], ['{"a":1}'] * 100, 4)
    new = RabitqIndex(str(base / "new"), DIM)
    x = vectors(60, seed=3)
    new.build(x.tobytes(), 60, [f"r{i}" for i in range(100, 160)], ['{"a":2}'] * 60, 2)
    for i in range(100, 110):
        new.delete(f"r{i}")
    unbuilt = RabitqIndex(str(base / "none"), DIM)
    return [new, mid, old], unbuilt


def one_source(src, ids, qb):
    return RabitqIndex.distances_to_many([([src], ids, qb)], False)[0]


def call_both(args, parallel=False):
    got = fuse(*args, parallel)
    want = fuse_model(*args, lookup=one_source)
    return got, want


def same(got, want):
    assert len(got) == 8
    assert len(got[0]) == len(want[0]) and all(a is b for a, b in zip(got[0], want[0]))
    assert got[1] == want[1]
    # Scores bit for bit, except that a NaN's sign is not compared: with two NaN operands the
    # machine returns one of them, and the compiler may swap the operands of a product.
    assert len(got[2]) == len(want[2])
    for g, w in zip(got[2], want[2]):
        assert type(g) is float
        assert (math.isnan(g) and math.isnan(w)) or struct.pack("<d", g) == struct.pack("<d", w), (g, w)
    for i in range(3, 8):
        assert type(got[i]) is bytes
        assert got[i] == want[i], i


def rand_inputs(rng, sources):
    n_cols = rng.randint(0, 3)
    universe = [f"r{i}" for i in range(0, 170, 3)] + ["x1", "x2"]

    def dist():
        return rng.choice([rng.random() * 2, rng.random() * 2, rng.random(), 0.0, 0.5, NAN, INF, -0.25, 1])

    def hits(n):
        return [(rng.choice(universe), dist()) + (("extra",) if rng.random() < 0.1 else ()) for _ in range(n)]

    clauses = []
    if n_cols:
        for _ in range(rng.randint(0, 6)):
            clauses.append((rng.randrange(n_cols), rng.choice([1.0, 0.5, 2.0, 0.0, -1.0, 3]), rng.random() < 0.4,
                            hits(rng.randint(0, 12))))
    divs = [rng.choice([1.0, 2.0, 0.5, 4.0, 0.0, 1]) for _ in range(n_cols)]
    ban = rng.choice([None, [], set(rng.sample(universe, 5)), tuple(rng.sample(universe, 2))])
    gates = rng.choice([None, (0, None, 0), (rng.randint(0, 2), rng.choice([None, 0, 1, 2, -1]),
                                               rng.choice([0, 1, 2, -3]))])
    has_should = rng.random() < 0.5
    fill = []
    for _ in range(n_cols):
        k = rng.choice([0, 1, 1, 2, 3])
        srcs = sources[:k] if rng.random() < 0.7 else sources[3 - k:]
        tombs = rng.choice([None, set(), set(rng.sample(universe, 6)), frozenset(universe[:4])])
        queries = [(rng.choice([1.0, 0.5, 2.0]), vectors(rng.randint(1, 2), seed=rng.randrange(1000)).tobytes())
                   for _ in range(rng.choice([0, 1, 1, 2]))]
        fill.append((srcs, tombs, queries))
    prefer = [(rng.choice([0.5, 0.2, -0.3, 1.5]), rng.choice([1.0, 2.0, 0.0]), hits(rng.randint(0, 5)))
              for _ in range(rng.randint(0, 2))]
    top = rng.choice([None, 0, 1, 2, 3, 5, 100])
    return [n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top]


def test_random_inputs_match_the_model(segments):
    sources, _ = segments
    rng = random.Random(7)
    for _ in range(400):
        args = rand_inputs(rng, sources)
        got, want = call_both(args, parallel=rng.random() < 0.5)
        same(got, want)


def test_large_fill_parallel_equals_serial(segments):
    sources, _ = segments
    hits = [(f"r{i}", i / 100.0) for i in range(0, 160)]
    q = vectors(2, seed=5).tobytes()
    args = [2, [(0, 1.0, False, hits), (1, 1.0, False, hits[:3])], [1.0, 2.0], None, None, False,
            [(sources, None, [(1.0, q)]), (sources, {"r7"}, [(1.0, q), (2.0, vectors(1, seed=9).tobytes())])],
            [], 10]
    a = fuse(*args, True)
    b = fuse(*args, False)
    same(a, fuse_model(*args, lookup=one_source))
    assert a[1:] == b[1:] and a[0] == b[0]
    assert sum(a[6]) == 157  # every row but the three column-1 hits was filled there


# Hand-checked cases: (args without `parallel`, expected returned rows, expected scores).
def cases_without_fill():
    return [
        # one matched cell of weight 2 at 0.5 and one of weight 1 at 0.8 in another column
        ([2, [(0, 2.0, False, [("a", 0.5)]), (1, 1.0, False, [("a", 0.8)])], [1.0, 1.0], None, None, False,
          [([], None, []), ([], None, [])], [], None], [0], [(2.0 * 0.5 + 0.8) / 3.0]),
        # weights summing to zero: the plain mean
        ([2, [(0, 1.0, False, [("a", 0.2)]), (1, -1.0, False, [("a", 0.6)])], [1.0, 1.0], None, None, False,
          [([], None, []), ([], None, [])], [], None], [0], [(0.2 + 0.6) / 2]),
        # ties at the cut are kept, pool order
        ([1, [(0, 1.0, False, [("a", 0.1), ("b", 0.2), ("c", 0.2), ("d", 0.3)])], [1.0], None, None, False,
          [([], None, [])], [], 2], [0, 1, 2], [0.1, 0.2, 0.2]),
        # a NaN score disables the cut
        ([1, [(0, 1.0, False, [("a", 0.1), ("b", NAN), ("c", 0.2)])], [1.0], None, None, False,
          [([], None, [])], [], 1], [0, 1, 2], None),
        # a single prefer hit: t = 1, score times (1 - factor); a halfway hit is not boosted
        ([1, [(0, 1.0, False, [("a", 0.4), ("b", 0.4)])], [1.0], None, None, False,
          [([], None, [])], [(0.5, 1.0, [("a", 0.3)]), (0.5, 1.0, [("x", 0.0), ("b", 0.5), ("y", 1.0)])], None],
         [0, 1], [0.2, 0.4]),
        # required_all 2: only the row required in both columns survives
        ([2, [(0, 1.0, True, [("a", 0.1), ("b", 0.1)]), (1, 1.0, True, [("a", 0.1)])], [1.0, 1.0], None,
          (2, None, 0), False, [([], None, []), ([], None, [])], [], None], [0], [0.1]),
        # minimum_should_match 2: one should clause listing an id twice counts once
        ([1, [(0, 1.0, False, [("a", 0.1), ("a", 0.2), ("b", 0.1)]), (0, 1.0, False, [("b", 0.3)])], [1.0],
          None, (0, None, 2), True, [([], None, [])], [], None], [1], [0.1]),
        # has_should false ignores minimum_should_match; banned rows stay pooled, unreturned
        ([1, [(0, 1.0, False, [("a", 0.1), ("b", 0.1)])], [1.0], ["b"], (0, None, 5), False,
          [([], None, [])], [], None], [0], [0.1]),
    ]


@pytest.mark.parametrize("args,rows,scores", cases_without_fill())
def test_worked_examples(args, rows, scores):
    got = fuse(*args, False)
    assert got[1] == rows
    if scores is not None:
        assert got[2] == pytest.approx(scores, rel=0, abs=1e-15)
    same(got, fuse_model(*args, lookup=None))


def test_fill_semantics(segments):
    sources, _ = segments
    new, mid, old = sources
    q = vectors(1, seed=11)[0]
    qb = q.tobytes()
    ids = ["r5", "r60", "r105", "r150", "zz", "r7"]
    col1 = [(i, 0.1) for i in ids]
    # Column 0 returns only "r5" at 3.0 (its worst hit); column 1 returns every id.
    args = [2, [(0, 2.0, False, [("r5", 3.0)]), (1, 1.0, False, col1)], [1.0, 1.0], None, None, False,
            [(sources, {"r7"}, [(0.5, qb)]), ([], None, [])], [], None]
    got = fuse(*args, False)
    n = len(ids)
    dist = struct.unpack(f"<{2 * n}d", got[3])
    weight = struct.unpack(f"<{2 * n}d", got[4])
    assert got[5] == bytes([1, 0, 0, 0, 0, 0] + [1] * n)
    assert got[6] == bytes([0, 1, 1, 1, 1, 1] + [0] * n)
    # r60: the middle segment; r105: deleted in the newest, so the middle one; r150: newest
    expect = {1: one_source(mid, ["r60"], qb)[0], 2: one_source(mid, ["r105"], qb)[0],
              3: one_source(new, ["r150"], qb)[0]}
    for r, d in expect.items():
        assert not math.isnan(d)
        assert dist[r] == d and weight[r] == 0.5
    # absent everywhere and caller-tombstoned: the worst hit (weight 2.0, distance 3.0)
    assert (dist[4], weight[4]) == (3.0, 2.0) and (dist[5], weight[5]) == (3.0, 2.0)
    same(got, fuse_model(*args, lookup=one_source))


def test_interpreter_lock_released_once_only_with_fills(segments, probe):
    sources, _ = segments
    qb = vectors(1, seed=1).tobytes()
    base = [2, [(0, 1.0, False, [("r1", 1.0)]), (1, 1.0, False, [("r2", 1.0)])], [1.0, 1.0], None, None, False]
    cases = [
        # (fill, prefer, releases)
        ([(sources, None, [(1.0, qb)]), (sources, None, [(1.0, qb)])], [], 1),
        # an empty queries list still opens the sources and releases the lock
        ([(sources, None, []), ([], None, [])], [], 1),
        # every row needing a fill banned: no lookup, no release
        (None, [], 0),
    ]
    for fill, prefer, releases in cases:
        args = list(base)
        if fill is None:
            args[3] = ["r1", "r2"]
            fill = [(sources, None, [(1.0, qb)])] * 2
        before = probe("fuse_releases")
        fuse(*args, fill, prefer, None, True)
        assert probe("fuse_releases") - before == releases
    # a column without a worst hit (all NaN) gets no job
    before = probe("fuse_releases")
    fuse(1, [(0, 1.0, False, [("r1", NAN)])], [1.0], None, None, False, [(sources, None, [(1.0, b"bad")])], [], None,
         True)
    assert probe("fuse_releases") == before


class Weird:
    def __len__(self):
        raise ZeroDivisionError("no len")


class BadContains:
    def __len__(self):
        return 1

    def __contains__(self, x):
        raise KeyError("nope")


def errors(sources, unbuilt):
    qb = vectors(1, seed=1).tobytes()
    ok_fill = [([], None, [])]
    h1 = [("a", 1.0)]

    def a(**kw):
        d = dict(n_cols=1, clauses=[(0, 1.0, False, h1)], divs=[1.0], ban=None, gates=None, has_should=False,
                 fill=ok_fill, prefer=[], top=None, parallel=False)
        d.update(kw)
        return d

    fill_needed = dict(n_cols=2, clauses=[(0, 1.0, False, [("a", 1.0)]), (1, 1.0, False, [("b", 1.0)])],
                       divs=[1.0, 1.0])
    return [
        # conversion, in parameter order
        (a(n_cols=-1), OverflowError, None),
        (a(n_cols=1.0), TypeError, "argument 'n_cols': *"),
        (a(clauses="abc"), TypeError, "argument 'clauses': a str is not accepted where a list is expected"),
        (a(clauses=[[0, 1.0, False, h1]]), TypeError, "argument 'clauses': expected tuple, got list"),
        (a(clauses=[(0, 1.0, False)]), ValueError, "expected tuple of length 4, but got tuple of length 3"),
        (a(clauses=[(2**32, 1.0, False, h1)]), OverflowError, None),
        (a(clauses=[(0, "x", False, h1)]), TypeError, "argument 'clauses': *"),
        (a(clauses=[(0, 1.0, 1, h1)]), TypeError, "argument 'clauses': expected bool, got int"),
        (a(clauses=[(0, 1.0, False, tuple(h1))]), TypeError, "argument 'clauses': expected list, got tuple"),
        (a(divs=[1.0], clauses=5), TypeError, "argument 'clauses': *"),
        (a(divs=["x"]), TypeError, "argument 'divs': *"),
        (a(gates=(0, None)), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        (a(gates=(0, None, 2**63)), OverflowError, None),
        (a(gates=(0, 1.5, 0)), TypeError, "argument 'gates': *"),
        (a(has_should=1), TypeError, "argument 'has_should': expected bool, got int"),
        (a(fill=[([], None)]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        (a(fill=[([1], None, [])]), TypeError, "argument 'fill': expected RabitqIndex, got int"),
        (a(fill=[([], None, [(1.0, "s")])]), TypeError, "argument 'fill': expected bytes, got str"),
        (a(prefer=[(1.0, 1.0, ())]), TypeError, "argument 'prefer': expected list, got tuple"),
        (a(top=-1), OverflowError, None),
        (a(top=1.0), TypeError, "argument 'top': *"),
        (a(parallel=None), TypeError, "argument 'parallel': expected bool, got NoneType"),
        # shapes and hits
        (a(divs=[]), ValueError, "tdql_fuse: 1 columns, 0 divisors, 1 fill entries"),
        (a(fill=[]), ValueError, "tdql_fuse: 1 columns, 1 divisors, 0 fill entries"),
        (a(n_cols=0, divs=[], fill=[]), ValueError, "tdql_fuse: clause column 0 >= 0"),
        (a(clauses=[(0, 1.0, False, h1), (3, 1.0, False, h1)]), ValueError, "tdql_fuse: clause column 3 >= 1"),
        (a(clauses=[(0, 1.0, False, [["a", 1.0]])]), TypeError, "expected tuple, got list"),
        (a(clauses=[(0, 1.0, False, [(1, 1.0)])]), TypeError, "expected str, got int"),
        (a(clauses=[(0, 1.0, False, [("a",)])]), IndexError, None),
        (a(clauses=[(0, 1.0, False, [("a", "x")])]), TypeError, None),
        (a(prefer=[(1.0, 1.0, [("a",)])]), IndexError, None),
        # a bad clause is reported before a bad prefer entry and a bad ban
        (a(clauses=[(0, 1.0, False, [(1, 1.0)])], prefer=[(1.0, 1.0, [("a",)])], ban=5), TypeError,
         "expected str, got int"),
        (a(ban=5), TypeError, None),
        (a(ban=["a", 3]), TypeError, "expected str, got int"),
        # fills: only columns that need one are checked
        (a(**fill_needed, fill=[(sources, None, [(1.0, b"abc")]), ([], None, [])]), ValueError,
         "queries must be whole 8-dim little-endian f32 vectors for sources of one dim, got 3 bytes"),
        (a(**fill_needed, fill=[(sources, None, [(1.0, struct.pack("<8f", *([NAN] * 8)))]), ([], None, [])]),
         ValueError, "query has a non-finite component at index 0 (NaN); a NaN/inf vector cannot be ranked"),
        (a(**fill_needed, fill=[(sources, Weird(), [(1.0, qb)]), ([], None, [])]), ZeroDivisionError, "no len"),
        (a(**fill_needed, fill=[(sources, BadContains(), [(1.0, qb)]), ([], None, [])]), KeyError, None),
        (a(**fill_needed, fill=[([sources[0], unbuilt], None, [(1.0, qb)]), ([], None, [])]), RuntimeError,
         "index not built/opened"),
        # every row tombstoned: the unbuilt source is still opened
        (a(**fill_needed, fill=[([unbuilt], {"b"}, [(1.0, qb)]), ([], None, [])]), RuntimeError,
         "index not built/opened"),
    ]


def test_argument_errors(segments):
    sources, unbuilt = segments
    for kw, exc, text in errors(sources, unbuilt):
        with pytest.raises(Exception) as ei:
            fuse(**kw)
        assert type(ei.value) is exc, (kw, ei.value)
        if text is not None:
            msg = ei.value.args[0] if exc is not KeyError else str(ei.value)
            assert len(ei.value.args) == 1
            if text.endswith("*"):
                assert msg.startswith(text[:-1]), msg
            else:
                assert msg == text, (kw, msg)


def test_no_error_for_columns_needing_no_fill_and_binding():
    # a malformed query of a column that needs no fill is never looked at
    out = fuse(1, [(0, 1.0, False, [("a", 1.0)])], [1.0], None, None, False, [([], None, [(1.0, b"x")])], [], None,
               False)
    assert out[1] == [0]
    assert fuse(0, [], [], None, None, False, [], [], None, False) == ([], [], [], b"", b"", b"", b"", b"")
    with pytest.raises(TypeError):
        fuse(0, [], [], None, None, False, [], [], None)
    assert RabitqIndex.tdql_fuse.__text_signature__ == \
        "(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel)"


def test_hits_list_shrinking_while_read():
    # a distance whose conversion empties the list stops the reading there
    hits = []

    class Shrink:
        def __float__(self):
            hits.clear()
            return 0.5

    hits.extend([("a", Shrink()), ("b", 1.0), ("c", 2.0)])
    out = fuse(1, [(0, 1.0, False, hits)], [1.0], None, None, False, [([], None, [])], [], None, False)
    assert out[0] == ["a"] and out[1] == [0]


def test_first_col_saturates():
    n = 301
    out = fuse(n, [(300, 1.0, False, [("a", 1.0)]), (3, 1.0, False, [("b", 1.0)])], [1.0] * n, None, None, False,
               [([], None, [])] * n, [], None, False)
    assert out[7] == bytes([255, 3])
