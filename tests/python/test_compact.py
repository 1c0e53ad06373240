"""compact and rebuild through the handle, the handle's durability settings and counters,
the accessor methods, and verify_integrity."""

import json
import os
import stat
import struct
import subprocess
import sys
import textwrap
import threading
import zlib

import numpy as np
import pytest

import tandrel
from crash_child import row_vector
from segtools import DIM, build, generation, has, vectors
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(120)


def n_clusters_of(path):
    with open(os.path.join(path, "manifest.bin"), "rb") as f:
        head = f.read(8 + 6 * 8)
    return struct.unpack_from("<Q", head, 8 + 4 * 8)[0]


def queries(k=6):
    return [vectors(1, seed=100 + i)[0].tobytes() for i in range(k)]


def churned(tmp_path, n=300):
    """A built segment with adds, deletes and an upsert pending in its log."""
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=n, prefix="a")
    for i in range(40):
        rid = f"k{i}"
        h.add(rid, row_vector(rid).tobytes(), json.dumps({"tag": rid, "n": i}))
    for rid in ("a1", "a50", "k3", "k39"):
        assert h.delete(rid)
    h.add("a7", row_vector("a7").tobytes(), json.dumps({"tag": "a7", "moved": True}))
    return path, h


# ---- compact -------------------------------------------------------------------------------


def test_compact_keeps_search_results_and_folds_the_log(tmp_path):
    path, h = churned(tmp_path)
    before = [h.search(q, 10, 4, 100) for q in queries()]
    filtered = h.search(queries()[0], 5, 4, 100, json.dumps({"tag": "k5"}), True)
    live = h.count()
    g = generation(path)
    assert h.compact() is None
    assert generation(path) == g + 1
    assert [h.search(q, 10, 4, 100) for q in queries()] == before
    assert h.search(queries()[0], 5, 4, 100, json.dumps({"tag": "k5"}), True) == filtered
    assert h.count() == live
    assert h.stats() == (live, 0, 0)
    assert not {"wal.bin", "delta.bin", "deleted.bin"} & set(os.listdir(path))
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]
    # Another handle sees the same rows.
    other = RabitqIndex(path, DIM)
    assert [other.search(q, 10, 4, 100) for q in queries()] == before
    assert not has(other, "a1", row_vector("a1")) and has(other, "k5", row_vector("k5"))


def test_compact_sees_operations_of_another_handle(tmp_path):
    path, h = churned(tmp_path)
    other = RabitqIndex(path, DIM)
    assert other.delete("k10")
    other.add("k10", row_vector("k10").tobytes(), json.dumps({"tag": "k10"}))
    other.add("z", row_vector("z").tobytes(), json.dumps({"tag": "z"}))
    h.compact()
    assert has(h, "z", row_vector("z"))
    hits = h.search(row_vector("k10").tobytes(), 400, 64, 400, json.dumps({"tag": "k10"}), True)
    assert [i for i, _ in hits] == ["k10"]


@pytest.mark.parametrize("method", ["compact", "rebuild"])
def test_nothing_built_returns_none_and_creates_nothing(tmp_path, method):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    assert getattr(h, method)() is None
    assert not os.path.exists(path) and not os.path.exists(path + ".compacting")


@pytest.mark.parametrize("method", ["compact", "rebuild"])
def test_segment_stranded_in_old_is_moved_back_first(tmp_path, method):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=50, prefix="a")
    g = generation(path)
    os.rename(path, path + ".old")  # as a swap interrupted between its renames leaves it
    assert getattr(h, method)() is None
    assert generation(path) == g + 1 and h.count() == 50
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]


# ---- rebuild -------------------------------------------------------------------------------


@pytest.mark.parametrize("n,arg,want", [(10000, None, 100), (3, None, 1), (20, 50, 20), (20, 0, 1), (30, 4, 4)])
def test_rebuild_cluster_count(tmp_path, n, arg, want):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=n, prefix="a", n_clusters=2)
    g = generation(path)
    assert (h.rebuild() if arg is None else h.rebuild(arg)) is None
    assert n_clusters_of(path) == want
    assert generation(path) == g + 1
    assert h.fit_count() == n and h.count() == n


def test_rebuild_keeps_ids_metadata_and_vectors_as_int8(tmp_path):
    path, h = churned(tmp_path)
    live = h.count()
    ids = [f"a{i}" for i in range(300) if i not in (1, 50)] + [f"k{i}" for i in range(40) if i not in (3, 39)]
    assert h.rebuild(None) is None
    assert h.count() == live and h.stats() == (live, 0, 0)
    missing = [i for i in ids if not has(h, i, row_vector(i))]
    assert missing == []
    assert not has(h, "a1", row_vector("a1"))
    # One row per id; keys that never got a typed column stay untyped (no filter matches them
    # before or after), typed ones still filter.
    assert [i for i, _ in h.search(row_vector("a7").tobytes(), 5, 64, 400, json.dumps({"tag": "a7"}), True)] == ["a7"]
    assert h.search(row_vector("k8").tobytes(), 5, 64, 400, json.dumps({"n": 8}), True) == []
    # A row's own vector (as stored) is its nearest neighbour at distance close to 0.
    hits = h.search(row_vector("k8").tobytes(), 1, 64, 400)
    assert hits[0][0] == "k8" and hits[0][1] < 1e-2


def test_rebuild_argument_errors_before_any_lock(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    if os.path.exists(path + ".lock"):
        os.remove(path + ".lock")  # made by the constructor's recovery
    with pytest.raises(TypeError, match="n_clusters"):
        h.rebuild("3")
    with pytest.raises(OverflowError):
        h.rebuild(-1)
    with pytest.raises(OverflowError):
        h.rebuild(2**32)
    assert not os.path.exists(path + ".lock")


def test_rebuild_with_no_live_rows(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=5, prefix="a")
    for i in range(5):
        h.delete(f"a{i}")
    h.rebuild()
    assert h.count() == 0 and h.stats() == (0, 0, 0)
    h.add("x", row_vector("x").tobytes(), "{}")
    assert h.count() == 1


# ---- damaged sources -----------------------------------------------------------------------


def files_under(path):
    out = {}
    for root, _, names in os.walk(path):
        for name in names:
            p = os.path.join(root, name)
            with open(p, "rb") as f:
                out[os.path.relpath(p, path)] = f.read()
    return out


def flip_bit(path, name, at):
    p = os.path.join(path, name)
    with open(p, "r+b") as f:
        data = bytearray(f.read())
        data[len(data) // 2 if at is None else at] ^= 0x10
        f.seek(0)
        f.write(data)
    return bytes(data)


def run_compact(tmp_path, path, h):
    h.compact()


def run_rebuild(tmp_path, path, h):
    h.rebuild()


def run_merge(tmp_path, path, h):
    tandrel.merge_segments(str(tmp_path / "merged"), [path], [], 0, 0.0, [], None, 2)


# Files the open checks only for their shape (idhash.bin only while it uses it): a flipped bit
# in any of them must stop every maintenance operation before it copies the damage into a
# segment with fresh checksums. (file, byte flipped: None for the middle one)
DAMAGE = [
    ("meta.bin", None),
    ("meta_off.bin", None),
    ("sparse.bin", None),
    ("idhash.bin", None),  # still in use: the fresh open refuses it
    ("idhash.bin", 11),    # first record's slot out of range: the open drops the file
]


@pytest.mark.parametrize("op", [run_compact, run_rebuild, run_merge], ids=lambda f: f.__name__[4:])
@pytest.mark.parametrize("name,at", DAMAGE)
def test_damaged_source_file_is_refused_and_left_alone(tmp_path, name, at, op):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    n = 40
    ids = [f"r{i}" for i in range(n)]
    metas = [json.dumps({"tag": rid, "n": i}) for i, rid in enumerate(ids)]
    h.build(vectors(n).tobytes(), n, ids, metas, 2, sparse=[[(i % 5, 1.0 + i), (7, 0.5)] for i in range(n)])
    h.count()
    want = recorded(path)[name]
    got = zlib.crc32(flip_bit(path, name, at))
    before = files_under(path)
    with pytest.raises(OSError) as e:
        op(tmp_path, path, h)
    assert e.value.args == (f"corrupt index: {name} content CRC mismatch (got {got:08x}, want {want:08x}) "
                            "\u2014 at-rest bit-rot; refusing to serve wrong results",)
    assert files_under(path) == before
    # No output was started, so none can pass for a clean segment.
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]


BUDGET_CHILD = textwrap.dedent("""
    import sys, tandrel
    path = sys.argv[1]
    h = tandrel.RabitqIndex(path, 8)   # opens: no file is small enough for the open to check
    for op in (h.compact, h.rebuild, lambda: tandrel.merge_segments(path + ".m", [path], [], 0, 0.0, [], None, 2)):
        try:
            op()
            print("done")
        except OSError as e:
            print(e.args[0].split(" (got")[0])
""")


def test_files_beyond_the_open_budget_are_checked_before_maintenance(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=40)
    flip_bit(path, "codes.bin", None)
    before = files_under(path)
    env = dict(os.environ, TANDREL_VERIFY_MAX_BYTES="0",
               PYTHONPATH=os.path.dirname(tandrel.__file__) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    res = subprocess.run([sys.executable, "-c", BUDGET_CHILD, path], env=env, capture_output=True, text=True,
                         timeout=120)
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines() == ["corrupt index: codes.bin content CRC mismatch"] * 3
    assert files_under(path) == before
    assert sorted(os.listdir(tmp_path)) == ["idx", "idx.lock"]


# ---- generation read failures ----------------------------------------------------------------


def replacing_build(h):
    build(h, n=60, prefix="b", seed=3)


def flush_after_add(h):
    h.add("extra", vectors(1, seed=9)[0].tobytes())
    h.flush()


# Every operation that writes the next generation reads the current one first; a failed read
# must fail the operation, never restart the counter from 0. The k-th read of the operation
# fails, for every k until the operation makes fewer reads: whichever read fails, the
# generation afterwards is the one before or the next one.
@pytest.mark.parametrize("op", [replacing_build, flush_after_add, lambda h: h.compact(), lambda h: h.rebuild()],
                         ids=["build", "flush", "compact", "rebuild"])
def test_failed_reads_never_turn_the_generation_back(tmp_path, probe, op):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=60, prefix="a")
    for _ in range(3):
        h.compact()
    g = generation(path)
    assert g == 3
    failed = 0
    for k in range(1, 10000):
        probe("faults", f"read:{k}:EIO")
        try:
            op(h)
            ok = True
        except OSError:
            ok = False
        finally:
            reads = probe("calls", "read")
            probe("faults", "")
        now = generation(path)
        assert now == g + 1 if ok else now in (g, g + 1), (k, g, now)
        g, failed = now, failed + (not ok)
        if reads < k:
            break
    assert failed > 0


# ---- settings and counters ------------------------------------------------------------------


def add_n(h, n, prefix):
    for i in range(n):
        rid = f"{prefix}{i}"
        h.add(rid, row_vector(rid).tobytes(), "{}")


def test_durability_interval_and_sync_counter(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    assert h.wal_sync_count() == 0
    before = tandrel.ivf_open_count()
    h.set_durability(0)
    h.set_wal_sync_ms(0)
    assert tandrel.ivf_open_count() == before  # the setters and the counter never open
    build(h, n=20)
    assert h.wal_sync_count() == 0
    add_n(h, 3, "s")
    assert h.wal_sync_count() == 3  # interval 0 acts as 1
    h.set_durability(4)
    add_n(h, 3, "t")
    assert h.wal_sync_count() == 3
    add_n(h, 1, "u")
    assert h.wal_sync_count() == 4
    h.sync()
    assert h.wal_sync_count() == 4
    h.set_wal_sync_ms(1000)
    add_n(h, 30, "v")
    assert h.wal_sync_count() <= 5
    h.set_wal_sync_ms(2**64 - 1)  # saturates: never due
    c = h.wal_sync_count()
    add_n(h, 10, "w")
    assert h.wal_sync_count() == c
    h.set_wal_sync_ms(0)
    h.set_durability(1)
    add_n(h, 2, "x")
    assert h.wal_sync_count() == c + 2
    with pytest.raises(OverflowError):
        h.set_durability(-1)
    with pytest.raises(OverflowError):
        h.set_wal_sync_ms(2**64)
    with pytest.raises(TypeError, match="interval"):
        h.set_durability("1")


def test_settings_made_before_the_first_open_and_kept_across_close(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=20)
    h = RabitqIndex(path, DIM)
    h.set_durability(3)
    add_n(h, 3, "a")
    assert h.wal_sync_count() == 1
    h.close()
    assert h.wal_sync_count() == 0
    add_n(h, 3, "b")
    assert h.wal_sync_count() == 1


# ---- accessors -----------------------------------------------------------------------------


def test_accessors_of_a_handle_without_an_index(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), DIM)
    assert (h.count(), h.stats(), h.fit_count(), h.quant_scale()) == (0, (0, 0, 0), 0, 0.0)
    for m in (h.format_version, h.pca_basis):
        with pytest.raises(RuntimeError, match="^index not built/opened$"):
            m()
    with pytest.raises(TypeError):
        h.count(1)


def test_accessors_of_a_built_segment(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=30, quant_scale=2.5)
    assert h.format_version() == (3, 3)
    assert h.pca_basis() is None
    assert h.count() == 30 and h.fit_count() == 30 and h.quant_scale() == 2.5
    h.add("r3", row_vector("r3").tobytes(), "{}")  # upsert
    assert h.stats() == (30, 1, 1) and h.count() == 30
    h.delete("r4")
    assert h.stats() == (30, 1, 2) and h.count() == 29
    h.close()
    assert (h.count(), h.stats(), h.fit_count(), h.quant_scale()) == (0, (0, 0, 0), 0, 0.0)
    assert h.format_version() == (3, 3)
    assert h.count() == 29
    mean = [0.5] * DIM
    comps = [float(i) / 7 for i in range(3 * DIM)]
    build(h, n=30, pca=[mean, comps])
    m, c = h.pca_basis()
    assert m == mean and c == list(np.asarray(comps, dtype="<f4").astype(float))


def test_probes_answer_from_the_held_index_until_a_checked_call(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=30)
    other = RabitqIndex(path, DIM)
    other.delete("r1")
    other.compact()
    assert h.stats() == (30, 0, 0)
    h.format_version()
    assert h.stats() == (29, 0, 0)


# ---- verify_integrity ----------------------------------------------------------------------

NOTE = "no per-file checksums recorded (legacy index; run vacuum/rebuild to enable)"


def recorded(path):
    with open(os.path.join(path, "crcs.bin"), "rb") as f:
        data = f.read()
    body = data[8:]
    (count,) = struct.unpack_from("<Q", body, 0)
    at, out = 8, {}
    for _ in range(count):
        (ln,) = struct.unpack_from("<Q", body, at)
        name = body[at + 8:at + 8 + ln].decode()
        (crc,) = struct.unpack_from("<I", body, at + 8 + ln)
        out[name] = crc
        at += 12 + ln
    return out


def write_crcs(path, table):
    body = struct.pack("<Q", len(table))
    for name, crc in table.items():
        b = name.encode()
        body += struct.pack("<Q", len(b)) + b + struct.pack("<I", crc)
    with open(os.path.join(path, "crcs.bin"), "wb") as f:
        f.write(b"TDCR" + struct.pack("<I", zlib.crc32(body)) + body)


def test_verify_fresh_and_legacy(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    with pytest.raises(RuntimeError, match="^index not built/opened$"):
        h.verify_integrity()
    build(h, n=20)
    assert h.verify_integrity() == (True, [])
    os.remove(os.path.join(path, "crcs.bin"))
    assert RabitqIndex(path, DIM).verify_integrity() == (True, [NOTE])


def test_every_single_byte_flip_is_reported_with_its_file(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=12, n_clusters=2)
    h.count()
    table = recorded(path)
    assert {"codes.bin", "metas.bin", "orig.bin", "ids.bin", "meta.bin", "sparse.bin"} <= set(table)
    for name, crc in sorted(table.items()):
        p = os.path.join(path, name)
        data = bytearray(open(p, "rb").read())
        for i in range(len(data)):
            data[i] ^= 0x5A
            with open(p, "r+b") as f:
                f.seek(i)
                f.write(bytes([data[i]]))
            ok, msgs = h.verify_integrity()
            got = zlib.crc32(bytes(data))
            assert (ok, msgs) == (False, [f"{name}: checksum mismatch (got {got:08x}, want {crc:08x})"]), (name, i)
            data[i] ^= 0x5A
            with open(p, "r+b") as f:
                f.seek(i)
                f.write(bytes([data[i]]))
    assert h.verify_integrity() == (True, [])


def test_missing_files_are_reported_in_name_order(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=20)
    h.count()
    os.remove(os.path.join(path, "orig.bin"))
    with open(os.path.join(path, "codes.bin"), "r+b") as f:
        b = f.read(1)
        f.seek(0)
        f.write(bytes([b[0] ^ 1]))
    ok, msgs = h.verify_integrity()
    assert not ok
    assert msgs[0].startswith("codes.bin: checksum mismatch (got ")
    assert msgs[1] == "orig.bin: unreadable (No such file or directory (os error 2))"
    assert len(msgs) == 2


def test_a_directory_in_place_of_a_data_file_is_the_system_error(tmp_path):
    path = str(tmp_path / "idx")
    h = RabitqIndex(path, DIM)
    build(h, n=20)
    h.count()
    os.remove(os.path.join(path, "codes.bin"))
    os.mkdir(os.path.join(path, "codes.bin"))
    assert h.verify_integrity() == (False, ["codes.bin: unreadable (Is a directory (os error 21))"])


def test_crafted_names_never_leave_the_segment_or_block(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=20)
    outside = tmp_path / "secret"
    outside.write_bytes(b"x" * 10)
    os.symlink(str(outside), os.path.join(path, "link.bin"))
    os.mkfifo(os.path.join(path, "fifo.bin"))
    table = recorded(path)
    table.update({"../secret": zlib.crc32(b"x" * 10), "link.bin": zlib.crc32(b"x" * 10), "fifo.bin": 0,
                  "/etc/hostname": 0, "": 0})
    write_crcs(path, table)
    ok, msgs = RabitqIndex(path, DIM).verify_integrity()
    assert not ok
    assert msgs == [": unreadable (not a plain file name)", "../secret: unreadable (not a plain file name)",
                    "/etc/hostname: unreadable (not a plain file name)", "fifo.bin: unreadable (not a regular file)",
                    "link.bin: unreadable (Too many levels of symbolic links (os error 40))"]


def test_verification_releases_the_interpreter_lock(tmp_path):
    path = str(tmp_path / "idx")
    build(RabitqIndex(path, DIM), n=20)
    big = os.path.join(path, "zz_big.bin")
    with open(big, "wb") as f:
        f.truncate(1 << 30)  # sparse: no disk space used
    table = recorded(path)
    table["zz_big.bin"] = 0
    write_crcs(path, table)
    h = RabitqIndex(path, DIM)
    h.count()
    ticks = [0]
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    started.wait()
    before = ticks[0]
    ok, msgs = h.verify_integrity()
    during = ticks[0] - before
    stop.set()
    t.join()
    assert not ok and msgs[0].startswith("zz_big.bin: checksum mismatch")
    assert during > 1000
