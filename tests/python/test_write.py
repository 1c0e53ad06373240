"""`add`, `delete`, `flush`, `sync`: validation, canonical metadata, durability, faults."""

import math
import os
import subprocess
import sys
import textwrap

import pytest

from segtools import DIM, build, generation, has, open_count, vectors, wal_size
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

V = vectors(1, seed=5)[0]
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def built(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    x = build(h)
    return path, h, x


@pytest.fixture
def faults(probe):
    yield lambda spec: probe("faults", spec)
    probe("faults", "")


NAN_AT_2 = [0.0, 0.0, math.nan] + [0.0] * (DIM - 3)

ADD_ERRORS = [
    # (args, kwargs, exception, exact text or prefix ending in "*")
    (("a", b"\0" * 12), {}, ValueError, f"vector dim 3 != {DIM}"),
    (("a", b"\0" * 10), {}, ValueError, "vector bytes length 10 is not a multiple of 4 (little-endian f32)"),
    (("a", NAN_AT_2), {}, ValueError, "vector has a non-finite component at index 2 (NaN); a NaN/inf vector cannot be ranked"),
    (("a", "x" * DIM), {}, TypeError, None),
    (("a", b"\0" * 12), {"metadata": "{bad"}, ValueError, f"vector dim 3 != {DIM}"),
    (("a", V), {"sparse": [(7, math.nan)], "metadata": "{bad"}, ValueError,
     "sparse weight NaN for term 7 is not finite; a NaN/inf sparse weight cannot be ranked"),
    (("a", V), {"metadata": "{bad"}, ValueError, "metadata is not valid JSON (*"),
    (("a", V), {"metadata": 3}, TypeError, "argument 'metadata': *"),
    ((1, V), {}, TypeError, "argument 'id': *"),
    (("a", V), {"sparse": "ab"}, TypeError, "argument 'sparse': *"),
    (("a", V), {"sparse": [(-1, 1.0)]}, OverflowError, None),
]


def check(e, exc, text):
    assert type(e.value) is exc and len(e.value.args) == 1
    if text is None:
        return
    if text.endswith("*"):
        assert e.value.args[0].startswith(text[:-1]), e.value.args[0]
    else:
        assert e.value.args[0] == text


@pytest.mark.parametrize("args,kwargs,exc,text", ADD_ERRORS)
def test_add_validation(tmp_path, built, args, kwargs, exc, text):
    for h in (RabitqIndex(str(tmp_path / "none"), DIM), built[1]):
        with pytest.raises(exc) as e:
            h.add(*args, **kwargs)
        check(e, exc, text)
    assert wal_size(built[0]) == 0


def test_metadata_text_names_the_fix(built):
    with pytest.raises(ValueError) as e:
        built[1].add("a", V, "{bad")
    assert e.value.args[0].endswith('); pass None or "{}"')


def test_unbuilt_write_paths(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    for call in (lambda: h.add("a", V), lambda: h.delete("a")):
        with pytest.raises(OSError) as e:
            call()
        check(e, OSError, "RuntimeError: index not built/opened")
    assert h.flush() is None
    with pytest.raises(OSError) as e:
        h.sync()
    check(e, OSError, "index not built/opened")
    assert sorted(os.listdir(tmp_path)) == ["idx.lock"]


@pytest.mark.parametrize("meta,stored", [
    (None, b"null"),
    ("null", b"null"),
    ('{"b": 2.50, "a": 1}', b'{"a":1,"b":2.5}'),
    ("[1, 2]", b"[1,2]"),
    ("7", b"7"),
])
def test_metadata_is_stored_in_canonical_form(built, meta, stored):
    path, h, _ = built
    h.add("m", V, meta)
    wal = open(os.path.join(path, "wal.bin"), "rb").read()
    assert stored in wal
    if meta and meta != stored.decode():
        assert meta.encode() not in wal


def test_upsert_and_delete_results(built):
    path, h, x = built
    h.add("u", V, '{"tag": "u"}')
    h.add("u", x[0], '{"tag": "u"}')  # replaces the first row
    hits = h.search(x[0].tobytes(), 5, filter_json='{"tag": "u"}', ensure_target_k=True)
    assert [i for i, _ in hits] == ["u"] and hits[0][1] == 0.0
    assert h.delete("u") is True
    size = wal_size(path)
    assert h.delete("u") is False
    assert h.delete("never") is False
    assert wal_size(path) == size
    assert not has(h, "u", x[0])
    assert h.delete("r3") is True and not has(h, "r3", x[3])


def test_handle_dim_differs_from_a_segment_built_later(tmp_path):
    path = str(tmp_path / "idx")
    small = RabitqIndex(path, 4)
    build(RabitqIndex(path, DIM))
    with pytest.raises(OSError) as e:
        small.add("a", [0.0] * 4)
    check(e, OSError, f"add: vector length 4 != index dim {DIM}")


# ---------------------------------------------------------------------------------------
# flush and sync
# ---------------------------------------------------------------------------------------


def test_flush_in_place(built):
    path, h, x = built
    for i in range(5):
        h.add(f"n{i}", x[i] + 1, f'{{"tag": "n{i}"}}')
    assert wal_size(path) > 0
    before = open_count()
    h.flush()
    assert open_count() == before  # the only writer checkpoints without reopening
    assert generation(path) == 1 and wal_size(path) == 0
    assert all(has(h, f"n{i}", x[i] + 1) for i in range(5))
    h.flush()
    assert generation(path) == 2


def test_flush_through_a_fresh_view_when_another_handle_wrote(built):
    path, h1, x = built
    h2 = RabitqIndex(path, DIM)
    h2.add("theirs", V, '{"tag": "theirs"}')
    h1.add("mine", x[1] + 1, '{"tag": "mine"}')
    before = open_count()
    h1.flush()
    assert open_count() >= before + 2  # fresh view, then the reopen
    assert wal_size(path) == 0 and generation(path) == 1
    assert has(h1, "theirs", V) and has(h1, "mine", x[1] + 1)
    h2.add("after", V + 1, '{"tag": "after"}')  # reopens and sees everything
    assert has(h2, "mine", x[1] + 1)


def test_flush_on_a_closed_handle(built):
    path, h, x = built
    h.add("c", V, '{"tag": "c"}')
    h.close()
    h.flush()
    assert generation(path) == 1 and wal_size(path) == 0
    assert has(h, "c", V)


def test_another_process_sees_rows_after_flush(built):
    path, h, x = built
    h.add("xp", V, '{"tag": "xp"}')
    h.flush()
    code = textwrap.dedent(f"""
        import sys; sys.path.insert(0, {HERE!r})
        from segtools import has, vectors
        from tandrel import RabitqIndex
        h = RabitqIndex({path!r}, {DIM})
        print(has(h, "xp", vectors(1, seed=5)[0]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "True", out.stderr


def test_sync_paths(built):
    path, h, x = built
    h.sync()  # no log file open yet
    h.add("s", V, '{"tag": "s"}')
    h.sync()
    assert generation(path) == 0 and wal_size(path) > 0
    # another handle moved the directory on: sync only reopens
    h2 = RabitqIndex(path, DIM)
    h2.add("t", V + 1, '{"tag": "t"}')
    h2.flush()
    before = open_count()
    h.sync()
    assert generation(path) == 1 and open_count() == before + 1
    assert has(h, "t", V + 1)


def test_failed_log_sync_is_sticky_until_sync(built, faults, probe):
    path, h, x = built
    faults("fdatasync:1:EIO")
    with pytest.raises(OSError) as e:
        h.add("f1", V, '{"tag": "f1"}')
    check(e, OSError, "Input/output error (os error 5)")
    faults("")
    with pytest.raises(OSError) as e:
        h.add("f2", V + 1, '{"tag": "f2"}')
    check(e, OSError, "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op")
    assert has(h, "f1", V) and has(h, "f2", V + 1)  # applied, just not confirmed
    assert probe("state", h)[3] is True
    h.sync()  # the checked checkpoint: generation bumped, flag cleared
    assert generation(path) == 1 and wal_size(path) == 0
    assert probe("state", h)[3] is False
    h.add("f3", V + 2, '{"tag": "f3"}')
    h.sync()  # the plain log sync
    assert generation(path) == 1
    fresh = RabitqIndex(path, DIM)
    assert all(has(fresh, i, v) for i, v in (("f1", V), ("f2", V + 1), ("f3", V + 2)))


def test_failed_generation_write_keeps_the_log(built, faults):
    path, h, x = built
    h.add("g", V, '{"tag": "g"}')
    size = wal_size(path)
    # checkpoint renames: deleted.bin, delta.bin, then the generation file
    faults("rename:3:EIO")
    with pytest.raises(OSError) as e:
        h.flush()
    check(e, OSError, "Input/output error (os error 5)")
    faults("")
    assert wal_size(path) == size and generation(path) == 0
    h.flush()
    assert generation(path) == 1 and wal_size(path) == 0 and has(h, "g", V)


def test_flush_repairs_an_interrupted_swap_first(built):
    path, h, x = built
    os.rename(path, path + ".old")  # a crash between the two renames of a swap
    h.flush()
    assert os.path.exists(os.path.join(path, "manifest.bin")) and not os.path.exists(path + ".old")
