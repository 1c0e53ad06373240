"""Filtered scans: `ids_matching`, `count_matching`, `exists_matching`, `ids_matching_limit`
against a brute-force evaluation of each filter over every live row (main rows, delta rows,
upserts, deletes, a field first seen in delta rows), argument and filter errors."""

import json

import pytest

from segtools import DIM, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)

MISSING = object()


def val(meta, key):
    v = meta.get(key) if isinstance(meta, dict) else None
    return MISSING if v is None else v  # null values are not stored: absent


def same(a, b):
    """Equality as the typed columns see it: booleans, numbers and strings never mix."""
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    return type(a) is type(b) and a == b


def num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


# (filter text, brute-force predicate over one row's metadata)
FILTERS = [
    ("{}", lambda m: True),
    ('{"color":"red"}', lambda m: same(val(m, "color"), "red")),
    ('{"color":{"$eq":"green"}}', lambda m: same(val(m, "color"), "green")),
    ('{"color":{"$ne":"red"}}', lambda m: not same(val(m, "color"), "red")),
    ('{"color":{"$ne":null}}', lambda m: val(m, "color") is not MISSING),
    ('{"color":null}', lambda m: val(m, "color") is MISSING),
    ('{"color":{"$in":["red","green","nope"]}}', lambda m: val(m, "color") in ("red", "green")),
    ('{"color":{"$nin":["red"]}}', lambda m: not same(val(m, "color"), "red")),
    ('{"color":{"$nin":["red",null]}}', lambda m: val(m, "color") not in (MISSING, "red")),
    ('{"rank":7}', lambda m: same(val(m, "rank"), 7)),
    ('{"rank":{"$gt":250}}', lambda m: num(val(m, "rank")) and val(m, "rank") > 250),
    ('{"rank":{"$gte":10,"$lt":20}}', lambda m: num(val(m, "rank")) and 10 <= val(m, "rank") < 20),
    ('{"rank":{"$lte":3.5}}', lambda m: num(val(m, "rank")) and val(m, "rank") <= 3.5),
    ('{"rank":{"$in":[1,2,3,1000]}}', lambda m: num(val(m, "rank")) and val(m, "rank") in (1, 2, 3, 1000)),
    ('{"rank":{"$not":{"$gt":50}}}', lambda m: not (num(val(m, "rank")) and val(m, "rank") > 50)),
    ('{"rank":{"$exists":true}}', lambda m: val(m, "rank") is not MISSING),
    ('{"flag":true}', lambda m: same(val(m, "flag"), True)),
    ('{"flag":{"$exists":false}}', lambda m: val(m, "flag") is MISSING),
    ('{"mix":1}', lambda m: same(val(m, "mix"), 1)),
    ('{"mix":"1"}', lambda m: same(val(m, "mix"), "1")),
    ('{"mix":{"$gt":2}}', lambda m: num(val(m, "mix")) and val(m, "mix") > 2),
    ('{"extra":"yes"}', lambda m: same(val(m, "extra"), "yes")),
    ('{"extra":{"$exists":true}}', lambda m: val(m, "extra") is not MISSING),
    ('{"missing":"x"}', lambda m: False),
    ('{"missing":{"$exists":false}}', lambda m: True),
    ('{"$and":[{"color":"red"},{"rank":{"$lt":100}}]}',
     lambda m: same(val(m, "color"), "red") and num(val(m, "rank")) and val(m, "rank") < 100),
    ('{"$or":[{"color":"blue"},{"flag":true},{"extra":"yes"}]}',
     lambda m: same(val(m, "color"), "blue") or same(val(m, "flag"), True) or same(val(m, "extra"), "yes")),
    ('{"$nor":[{"color":"red"}]}', lambda m: not same(val(m, "color"), "red")),
    ('{"$not":{"color":"red"}}', lambda m: not same(val(m, "color"), "red")),
]


def meta_of(i):
    m = {}
    if i % 11 != 0:
        m["color"] = ["red", "green", "blue", None][i % 4]
    if i % 13 != 5:
        m["rank"] = i if i % 2 else i + 0.5
    if i % 3 == 0:
        m["flag"] = i % 2 == 0
    m["mix"] = [1, "1", 2.5, None, 3][i % 5]
    return m


@pytest.fixture(scope="module")
def segment(tmp_path_factory):
    """A built segment changed through the log: upserts, plain adds, deletes, a grown field."""
    path = str(tmp_path_factory.mktemp("scan") / "idx")
    h = RabitqIndex(path, DIM, skip_fields=[])
    n = 300
    x = vectors(n)
    metas = {f"r{i}": meta_of(i) for i in range(n)}
    h.build(x.tobytes(), n, list(metas), [json.dumps(m) for m in metas.values()], 4)
    delta_order = []
    extra = vectors(40, seed=9)
    for i in range(40):
        rid = f"r{i * 7}" if i % 4 == 0 else f"d{i}"  # every 4th add upserts a main row
        m = meta_of(i + 1000)
        if i % 3 == 0:
            m["extra"] = "yes" if i % 2 else "no"
        h.add(rid, extra[i].tobytes(), json.dumps(m))
        metas.pop(rid, None)
        metas[rid] = m
        if rid in delta_order:
            delta_order.remove(rid)
        delta_order.append(rid)
    for rid in ["r1", "r2", "d5", "r28", "d13"]:  # main rows, delta rows, an upserted row
        assert h.delete(rid)
        metas.pop(rid)
        if rid in delta_order:
            delta_order.remove(rid)
    h.add("nometa", extra[0].tobytes())
    metas["nometa"] = None
    delta_order.append("nometa")
    return h, metas, delta_order


def test_no_filter_lists_every_live_row_main_first(segment):
    h, metas, delta_order = segment
    for f in (None, "", "null"):
        ids = h.ids_matching(f)
        assert sorted(ids) == sorted(metas)
        assert ids[-len(delta_order):] == delta_order
        assert h.count_matching(f) == len(metas)
        assert h.exists_matching(f) is True
    assert h.ids_matching() == h.ids_matching(None)
    assert h.count_matching() == len(metas)


@pytest.mark.parametrize("text,pred", FILTERS, ids=[f for f, _ in FILTERS])
def test_scans_equal_brute_force(segment, text, pred):
    h, metas, _ = segment
    order = h.ids_matching(None)  # slot order
    want = [i for i in order if pred(metas[i] if metas[i] is not None else {})]
    assert h.ids_matching(text) == want
    assert h.ids_matching(filter_json=text) == want
    assert h.count_matching(text) == len(want)
    assert h.exists_matching(text) is bool(want)
    for limit in (0, 1, 2, len(want) // 2, len(want), len(want) + 1, 2**64 - 1):
        assert h.ids_matching_limit(text, limit) == want[:limit]


def test_empty_and_all_deleted(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    h.build(b"", 0, [], [], 1)
    assert (h.ids_matching(), h.count_matching(), h.exists_matching(), h.ids_matching_limit(None, 5)) == (
        [], 0, False, [])
    h2 = RabitqIndex(str(tmp_path / "idx2"), DIM, skip_fields=[])
    x = vectors(3)
    h2.build(x.tobytes(), 3, ["a", "b", "c"], ["{}"] * 3, 1)
    h2.add("d", x[0].tobytes(), '{"k":1}')
    assert h2.exists_matching('{"k":1}') is True  # the only match is a delta row
    for i in "abcd":
        h2.delete(i)
    assert h2.exists_matching() is False
    assert h2.count_matching() == 0
    h2.flush()
    assert h2.ids_matching() == []


ERRORS = [
    ("ids_matching", (1,), {}, TypeError, "argument 'filter_json': *"),
    ("ids_matching", (None, None), {}, TypeError, None),
    ("count_matching", (), {"bogus": 1}, TypeError, None),
    ("exists_matching", (b"{}",), {}, TypeError, "argument 'filter_json': *"),
    ("ids_matching_limit", (None,), {}, TypeError, None),
    ("ids_matching_limit", (), {"limit": 3}, TypeError, None),
    ("ids_matching_limit", (None, -1), {}, OverflowError, None),
    ("ids_matching_limit", (None, 2**64), {}, OverflowError, None),
    ("ids_matching_limit", (None, 1.0), {}, TypeError, "argument 'limit': *"),
]


def check(e, exc, text):
    assert type(e.value) is exc
    assert len(e.value.args) == 1
    if text is not None:
        msg = e.value.args[0]
        assert msg.startswith(text[:-1]) if text.endswith("*") else msg == text, msg


@pytest.mark.parametrize("name,args,kwargs,exc,text", ERRORS)
def test_argument_errors_come_first(tmp_path, segment, name, args, kwargs, exc, text):
    unbuilt = RabitqIndex(str(tmp_path / "none"), DIM)
    for h in (unbuilt, segment[0]):
        with pytest.raises(exc) as e:
            getattr(h, name)(*args, **kwargs)
        check(e, exc, text)


@pytest.mark.parametrize("name", ["ids_matching", "count_matching", "exists_matching"])
def test_bad_filters_and_unbuilt(tmp_path, segment, name):
    h = segment[0]
    for text, msg in [("{", "bad filter: *"), ("[1]", "filter must be an object, got an array"),
                      ('{"$where":1}', "unknown top-level operator $where")]:
        with pytest.raises(ValueError) as e:
            getattr(h, name)(text)
        check(e, ValueError, msg)
    unbuilt = RabitqIndex(str(tmp_path / "none"), DIM)
    with pytest.raises(RuntimeError) as e:
        getattr(unbuilt, name)("{not json")
    check(e, RuntimeError, "index not built/opened")


def test_limit_zero_still_compiles_the_filter(tmp_path, segment):
    h = segment[0]
    assert h.ids_matching_limit('{"color":"red"}', 0) == []
    with pytest.raises(ValueError):
        h.ids_matching_limit("{", 0)
    unbuilt = RabitqIndex(str(tmp_path / "none"), DIM)
    with pytest.raises(RuntimeError):
        unbuilt.ids_matching_limit(None, 0)


def test_signatures_and_docs():
    assert RabitqIndex.ids_matching.__text_signature__ == "($self, filter_json=None)"
    assert RabitqIndex.ids_matching_limit.__text_signature__ == "($self, filter_json, limit)"
    assert RabitqIndex.count_matching.__doc__.splitlines()[-1] == (
        "ids. Backs count-with-filter; segment-local (LSM tombstones handled above).")
    assert RabitqIndex.exists_matching.__doc__.splitlines()[-1] == (
        "True if any live row matches the filter (short-circuits). Backs exists().")
