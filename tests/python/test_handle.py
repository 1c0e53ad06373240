"""The handle: constructor, close, staleness check and reopen, interpreter-lock release."""

import os
import threading
import time

import pytest

import tandrel
from segtools import DIM, build, generation, has, open_count, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)


@pytest.fixture
def built(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    x = build(h)
    return path, h, x


# ---------------------------------------------------------------------------------------
# constructor
# ---------------------------------------------------------------------------------------


def test_unbuilt_path_creates_only_the_lock_file(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    assert sorted(os.listdir(tmp_path)) == ["idx.lock"]
    with pytest.raises(RuntimeError) as e:
        h.search(vectors(1)[0].tobytes(), 3)
    assert e.value.args == ("index not built/opened",)


CONSTRUCTOR_ERRORS = [
    # (args, kwargs, exception, exact text or None)
    (("P", 0), {}, ValueError, "dim must be >= 1"),
    # An empty path would put the segment and its siblings into the working directory.
    (("", 8), {}, ValueError, "path must not be empty"),
    (("P/missing/idx", 8), {}, OSError, "No such file or directory (os error 2)"),
    (("P", 8), {"skip_fields": "a"}, TypeError, None),
    (("P", -1), {}, OverflowError, None),
    (("P", 2**32), {}, OverflowError, None),
    ((1, 8), {}, TypeError, None),
]


@pytest.mark.parametrize("args,kwargs,exc,text", CONSTRUCTOR_ERRORS)
def test_constructor_errors(tmp_path, args, kwargs, exc, text):
    args = (args[0].replace("P", str(tmp_path / "idx")) if isinstance(args[0], str) else args[0],) + args[1:]
    with pytest.raises(exc) as e:
        RabitqIndex(*args, **kwargs)
    assert type(e.value) is exc
    if text is not None:
        assert e.value.args == (text,)
    if isinstance(args[0], str) and (args[1:] == (0,) or args[0] == ""):
        assert os.listdir(tmp_path) == []  # no lock taken
        assert not os.path.exists(".lock")


@pytest.mark.parametrize("kwargs", [{"skip_fields": []}, {"skip_fields": ["a", "a"]}, {"n_bits": 0}, {"n_bits": 9}])
def test_constructor_accepts(tmp_path, kwargs):
    RabitqIndex(str(tmp_path / "idx"), DIM, **kwargs)


def test_dim_mismatch_names_the_quoted_path(tmp_path):
    path = str(tmp_path / 'we"ird\tidx')
    build(RabitqIndex(path, DIM))
    with pytest.raises(ValueError) as e:
        RabitqIndex(path, 16)
    quoted = '"' + path.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t") + '"'
    assert e.value.args == (f"dim mismatch: opened with dim=16 but the index at {quoted} was built with dim={DIM}",)


def test_damaged_segment_raises_the_open_error(built):
    path, _, _ = built
    with open(os.path.join(path, "manifest.bin"), "r+b") as f:
        f.write(b"XXXX")
    with pytest.raises(OSError) as e:
        RabitqIndex(path, DIM)
    assert e.value.args[0].startswith("corrupt index: ")


def test_unreadable_manifest_is_an_error_not_an_empty_index(tmp_path):
    # A manifest that exists but cannot be looked at must never count as "nothing built".
    path = tmp_path / "idx"
    path.mkdir()
    os.symlink("manifest.bin", path / "manifest.bin")  # ELOOP on stat
    with pytest.raises(OSError) as e:
        RabitqIndex(str(path), DIM)
    assert e.value.args == ("Too many levels of symbolic links (os error 40)",)


def test_unreadable_manifest_stops_build_and_reads(built):
    path, h, x = built
    h.close()
    os.rename(os.path.join(path, "manifest.bin"), os.path.join(path, "manifest.real"))
    os.symlink("manifest.bin", os.path.join(path, "manifest.bin"))
    with pytest.raises(OSError, match="os error 40"):
        h.search(x[0].tobytes(), 3)
    with pytest.raises(OSError, match="os error 40"):
        build(h, prefix="new")
    assert generation(path) == 0
    assert sorted(os.listdir(os.path.dirname(path))) == ["idx", "idx.lock"]


# ---------------------------------------------------------------------------------------
# close
# ---------------------------------------------------------------------------------------


def test_close_then_use(built):
    path, h, x = built
    assert h.close() is None
    assert h.close() is None
    with pytest.raises(OSError) as e:
        h.sync()
    assert e.value.args == ("index not built/opened",)
    before = open_count()
    assert h.search(x[3].tobytes(), 1)[0][0] == "r3"  # reopens lazily
    assert open_count() == before + 1
    h.close()
    h.add("late", x[0], '{"tag": "late"}')  # the write path reopens too
    assert has(h, "late", x[0])


# ---------------------------------------------------------------------------------------
# staleness and reopen
# ---------------------------------------------------------------------------------------


def test_reads_see_a_new_generation_after_the_cache_and_writes_at_once(built):
    path, h1, x = built
    h2 = RabitqIndex(path, DIM)
    v = vectors(1, seed=7)[0]
    h2.add("fresh", v, '{"tag": "fresh"}')
    assert not has(h1, "fresh", v)  # also fills h1's 50 ms cache
    t0 = time.monotonic()
    h2.flush()
    assert generation(path) == 1
    within_cache = not has(h1, "fresh", v)
    if time.monotonic() - t0 < 0.04:
        assert within_cache, "a read within 50 ms of the last check uses the held index"
    time.sleep(0.06)
    assert has(h1, "fresh", v)

    # Writes read the generation on every call.
    h2.add("fresh2", v, '{"tag": "fresh2"}')
    h2.flush()
    before = open_count()
    h1.add("mine", v, '{"tag": "mine"}')
    assert open_count() == before + 1
    assert has(h1, "fresh2", v) and has(h1, "mine", v)


def test_threads_on_a_stale_handle_reopen_once(built):
    path, h1, x = built
    h2 = RabitqIndex(path, DIM)
    h2.add("z", x[0])
    h2.flush()
    time.sleep(0.06)
    barrier = threading.Barrier(8)
    results = []

    def reader():
        barrier.wait()
        results.append(h1.search(x[5].tobytes(), 1)[0][0])

    before = open_count()
    threads = [threading.Thread(target=reader) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert open_count() == before + 1
    assert results == ["r5"] * 8


def test_a_replaced_directory_is_stale_even_at_the_same_generation(built, tmp_path):
    path, h1, x = built
    y = vectors(1, seed=9)[0]
    h1.add("only-in-old", y, '{"tag": "only-in-old"}')
    # Another segment, also at generation 0, is renamed into place.
    other = str(tmp_path / "other")
    build(RabitqIndex(other, DIM), prefix="n", seed=3)
    os.rename(path, str(tmp_path / "gone"))
    os.rename(other, path)
    assert generation(path) == 0
    time.sleep(0.06)
    assert h1.search(vectors(300, seed=3)[4].tobytes(), 1)[0][0] == "n4"
    # A checkpoint must not carry the old directory's rows into the new one.
    h1.flush()
    fresh = RabitqIndex(path, DIM)
    assert not has(fresh, "only-in-old", y)
    assert has(fresh, "n4", vectors(300, seed=3)[4])


def test_damaged_segment_at_reopen_keeps_the_old_index(built):
    path, h1, x = built
    h2 = RabitqIndex(path, DIM)
    h2.add("a", x[0])
    h2.flush()
    crcs = os.path.join(path, "manifest.bin")
    good = open(crcs, "rb").read()
    with open(crcs, "r+b") as f:
        f.write(b"XXXX")
    time.sleep(0.06)
    with pytest.raises(OSError, match="^corrupt index: "):
        h1.search(x[0].tobytes(), 1)
    with open(crcs, "wb") as f:
        f.write(good)
    assert h1.search(x[0].tobytes(), 1)[0][0] in ("r0", "a")  # the next call tries again


def test_set_residency_and_slot_space():
    assert tandrel.set_residency(False, False) is None
    with pytest.raises(TypeError, match="prewarm"):
        tandrel.set_residency(1, 0)
    with pytest.raises(TypeError, match="mlock"):
        tandrel.set_residency(True, "x")
    for args, want in [((4294967294, 0), True), ((4294967294, 1), False), ((4294967295, 0), False),
                       ((2**31, 2**31), False), ((0, 0), True)]:
        assert tandrel.slot_space_ok(*args) is want
    for args, exc in [((-1, 0), OverflowError), ((2**32, 0), OverflowError), (("1", 0), TypeError)]:
        with pytest.raises(exc):
            tandrel.slot_space_ok(*args)
    assert isinstance(tandrel.ivf_open_count(), int)


# ---------------------------------------------------------------------------------------
# interpreter lock and concurrent close
# ---------------------------------------------------------------------------------------


def test_other_threads_run_while_a_call_waits_natively(built, probe):
    """A search blocked in its reopen (the file lock held elsewhere) holds no interpreter
    lock: this thread keeps running, and a close() from here does not disturb it."""
    path, h, x = built
    h.close()
    out = {}

    def searcher():
        out["hits"] = h.search(x[7].tobytes(), 1)

    def while_locked():
        t = threading.Thread(target=searcher)
        t.start()
        time.sleep(0.2)
        ticks = 0
        end = time.monotonic() + 0.1
        while time.monotonic() < end:
            ticks += 1
        assert t.is_alive() and ticks > 1000
        h.close()
        out["thread"] = t

    probe("guard", path, "exclusive", while_locked)
    out["thread"].join(10)
    assert out["hits"][0][0] == "r7"


@pytest.mark.parametrize("op", ["search", "add"])
def test_close_while_calling(built, op):
    """close() racing the entry points: every call either uses the index it checked or
    reopens; none reports "index not built/opened" for a built segment."""
    path, h, x = built
    stop = threading.Event()
    errors = []

    def caller(i):
        n = 0
        while not stop.is_set():
            try:
                if op == "search":
                    hits = h.search(x[i].tobytes(), 1)
                    if hits[0][0] != f"r{i}":
                        errors.append(hits)
                else:
                    h.add(f"c{i}_{n}", x[i])
                    n += 1
            except Exception as e:  # noqa: BLE001 - any failure is the fault
                errors.append(repr(e))
                return

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    end = time.monotonic() + 0.5
    while time.monotonic() < end:
        h.close()
        time.sleep(0.002)
    stop.set()
    for t in threads:
        t.join()
    assert errors == []


def test_a_path_that_loses_its_manifest_keeps_serving_the_held_index(built, tmp_path):
    path, h, x = built
    os.rename(os.path.join(path, "manifest.bin"), os.path.join(path, "manifest.away"))
    h2 = RabitqIndex(path, DIM)  # nothing built any more at the path
    time.sleep(0.06)
    assert h.search(x[4].tobytes(), 1)[0][0] == "r4"
    h.add("kept", x[5] + 1, '{"tag": "kept"}')  # the write path keeps its index too
    assert has(h, "kept", x[5] + 1)
    with pytest.raises(RuntimeError) as e:
        h2.search(x[4].tobytes(), 1)
    assert type(e.value) is RuntimeError and e.value.args == ("index not built/opened",)
    with pytest.raises(OSError) as e:
        h2.add("b", x[0])
    assert e.value.args == ("RuntimeError: index not built/opened",)
