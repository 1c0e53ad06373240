"""Paths beside a segment directory, the lock file, and recovery from interrupted swaps."""

import os
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)


# ---------------------------------------------------------------------------------------
# sibling
# ---------------------------------------------------------------------------------------

SIBLINGS = [
    ("/data/idx", ".lock", b"/data/idx.lock"),
    ("idx", ".lock", b"idx.lock"),
    ("/data/idx/", ".lock", b"/data/idx.lock"),
    ("/data/idx//", ".lock", b"/data/idx.lock"),
    ("/data/idx/.", ".lock", b"/data/idx.lock"),
    ("/data/idx/./", ".lock", b"/data/idx.lock"),
    ("/data//idx", ".lock", b"/data/idx.lock"),
    ("/", ".lock", b"./.lock"),
    ("", ".lock", b"./.lock"),
    (".", ".lock", b".lock"),
    ("./idx", ".lock", b"./idx.lock"),
    ("idx/", ".lock", b"idx.lock"),
    ("a/..", ".lock", b"a/.lock"),
    ("/idx", ".lock", b"/idx.lock"),
    ("/data/idx", ".compacting", b"/data/idx.compacting"),
    ("/data/idx/", ".old", b"/data/idx.old"),
    ("rel/idx/.", ".broken", b"rel/idx.broken"),
    # Invalid UTF-8 in the name: each maximal invalid sequence becomes one U+FFFD.
    (b"/d/i\xffx", ".lock", b"/d/i\xef\xbf\xbdx.lock"),
    (b"/d/\xe2\x82", ".lock", b"/d/\xef\xbf\xbd.lock"),
    (b"/d/\xf0\x9f\x98x\xc3\xa9", ".old", b"/d/\xef\xbf\xbdx\xc3\xa9.old"),
    (b"/d/\xed\xa0\x80", ".lock", b"/d/\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.lock"),
]


@pytest.mark.parametrize("path,suffix,want", SIBLINGS)
def test_sibling(probe, path, suffix, want):
    assert probe("sibling", path, suffix) == want


def test_constructor_creates_only_the_lock_file_beside_the_directory(tmp_path):
    old_umask = os.umask(0o022)
    try:
        for spelling in [str(tmp_path / "idx"), str(tmp_path / "idx") + "/", str(tmp_path / "idx") + "/."]:
            RabitqIndex(spelling, 8)
            assert sorted(p.name for p in tmp_path.iterdir()) == ["idx.lock"], spelling
        lock = tmp_path / "idx.lock"
        assert lock.read_bytes() == b""
        assert stat.S_IMODE(lock.stat().st_mode) == 0o644  # 0o666 less the umask
        # Existing content is never truncated (and never written).
        lock.write_bytes(b"keep")
        RabitqIndex(str(tmp_path / "idx"), 8)
        assert lock.read_bytes() == b"keep"
    finally:
        os.umask(old_umask)


def test_constructor_with_a_bare_relative_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    RabitqIndex("idx", 8)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["idx.lock"]


def test_constructor_without_parent_directory(tmp_path):
    with pytest.raises(OSError) as ei:
        RabitqIndex(str(tmp_path / "missing" / "idx"), 8)
    assert type(ei.value) is OSError
    assert ei.value.args == ("No such file or directory (os error 2)",)


# ---------------------------------------------------------------------------------------
# recovery
# ---------------------------------------------------------------------------------------


def make_segment(d, marker):
    """A directory that holds a segment (it has manifest.bin), tagged with a marker."""
    d.mkdir()
    (d / "manifest.bin").write_bytes(b"M")
    (d / "marker").write_text(marker)


def make_partial(d, marker):
    d.mkdir()
    (d / "codes.bin").write_bytes(b"C")
    (d / "marker").write_text(marker)


def construct(path):
    """Runs the constructor (lock, recovery, manifest test, open). A directory that holds a
    stand-in segment cannot be opened as a real one; that OSError is expected here."""
    try:
        RabitqIndex(str(path), 8)
    except OSError:
        if not (path / "manifest.bin").exists():
            raise


def recover_via_probe(probe):
    def run(path):
        probe("recover", str(path))

    return run


def layout(tmp_path):
    out = {}
    for p in sorted(tmp_path.iterdir()):
        if p.name.endswith(".lock"):
            continue
        if p.is_dir():
            marker = (p / "marker").read_text() if (p / "marker").exists() else None
            out[p.name] = (marker, (p / "manifest.bin").exists())
        else:
            out[p.name] = "file"
    return out


# Each case: what an interrupted swap left (name -> (kind, marker)), and what must remain
# (name -> (marker, holds a segment)).
SWAP_LAYOUTS = {
    "staging interrupted": (
        {"idx": ("seg", "old"), "idx.compacting": ("partial", "new")},
        {"idx": ("old", True)},
    ),
    "staging complete, before the renames": (
        {"idx": ("seg", "old"), "idx.compacting": ("seg", "new")},
        {"idx": ("old", True)},
    ),
    "between the two renames": (
        {"idx.old": ("seg", "old"), "idx.compacting": ("seg", "new")},
        {"idx": ("old", True)},
    ),
    "after the renames, before old is removed": (
        {"idx": ("seg", "new"), "idx.old": ("seg", "old")},
        {"idx": ("new", True)},
    ),
    "roll-back after idx became broken": (
        {"idx.broken": ("seg", "new"), "idx.old": ("seg", "old")},
        {"idx": ("old", True), "idx.broken": ("new", True)},
    ),
    "old without a segment beside idx without one": (
        {"idx": ("partial", "p"), "idx.old": ("partial", "o")},
        {"idx": ("p", False)},
    ),
    "old without a segment, no idx": (
        {"idx.old": ("partial", "o")},
        {},
    ),
    # Mended: a directory without a segment in the way of the rename is moved aside, never
    # deleted, and the only good copy in idx.old is restored.
    "idx without a segment in the way": (
        {"idx": ("partial", "junk"), "idx.old": ("seg", "old")},
        {"idx": ("old", True), "idx.broken": ("junk", False)},
    ),
    "empty idx in the way": (
        {"idx": ("empty", None), "idx.old": ("seg", "old")},
        {"idx": ("old", True), "idx.broken": (None, False)},
    ),
    "nothing to do": (
        {"idx": ("seg", "cur")},
        {"idx": ("cur", True)},
    ),
}


def build_layout(tmp_path, spec):
    for name, (kind, marker) in spec.items():
        d = tmp_path / name
        if kind == "seg":
            make_segment(d, marker)
        elif kind == "partial":
            make_partial(d, marker)
        else:
            d.mkdir()


@pytest.mark.parametrize("via", ["constructor", "recover"])
@pytest.mark.parametrize("case", list(SWAP_LAYOUTS))
def test_recover_repairs_interrupted_swaps(tmp_path, probe, case, via):
    before, after = SWAP_LAYOUTS[case]
    build_layout(tmp_path, before)
    run = construct if via == "constructor" else recover_via_probe(probe)
    run(tmp_path / "idx")
    assert layout(tmp_path) == after
    # A second pass changes nothing.
    run(tmp_path / "idx")
    assert layout(tmp_path) == after


# Every step of a recovery that finds a staging directory, a directory without a segment in
# the way and the segment in idx.old: removals of the staging directory (unlink, rmdir), the
# move aside and the restore (rename), the sync of the parent (fsync).
FULL_RECOVERY = {"idx": ("partial", "junk"), "idx.old": ("seg", "old"), "idx.compacting": ("partial", "stage")}
RECOVERED = {"idx": ("old", True), "idx.broken": ("junk", False)}
RECOVERY_STEPS = ["unlink:1", "unlink:2", "rmdir:1", "rename:1", "rename:2", "fsync:1"]


@pytest.mark.parametrize("step", RECOVERY_STEPS)
def test_a_failed_recovery_step_is_repaired_by_the_next_constructor(tmp_path, probe, step):
    build_layout(tmp_path, FULL_RECOVERY)
    probe("faults", f"{step}:EIO")
    try:
        probe("recover", str(tmp_path / "idx"))
    except OSError as e:
        # Only a failed restore is reported; the segment is still in idx.old then.
        assert step.startswith("rename"), e
        assert layout(tmp_path)["idx.old"] == ("old", True)
    finally:
        probe("faults", "")
    construct(tmp_path / "idx")
    assert layout(tmp_path) == RECOVERED


@pytest.mark.parametrize("step", RECOVERY_STEPS)
def test_a_recovery_killed_at_any_step_is_repaired_by_the_next_constructor(tmp_path, probe, step):
    build_layout(tmp_path, FULL_RECOVERY)
    code = textwrap.dedent(
        f"""
        import tandrel
        tandrel._probe("faults", "{step}:kill")
        tandrel._probe("recover", {str(tmp_path / "idx")!r})
        """
    )
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert p.returncode == -signal.SIGKILL, p.stderr
    construct(tmp_path / "idx")
    assert layout(tmp_path) == RECOVERED


def test_stranded_segment_is_reported_not_hidden(tmp_path, probe):
    # idx (without a segment) cannot be moved aside because idx.broken is in the way, so the
    # segment in idx.old cannot be restored: the constructor raises instead of reporting an
    # unbuilt handle (a later build would swap over idx.old and delete it).
    build_layout(
        tmp_path,
        {"idx": ("partial", "junk"), "idx.old": ("seg", "old"), "idx.broken": ("seg", "earlier")},
    )
    want = {"idx": ("junk", False), "idx.old": ("old", True), "idx.broken": ("earlier", True)}
    with pytest.raises(OSError) as ei:
        RabitqIndex(str(tmp_path / "idx"), 8)
    msg = ei.value.args[0]
    assert msg.startswith(f'cannot restore the segment "{tmp_path}/idx.old" to "{tmp_path}/idx": ')
    assert msg.endswith("(os error 39)")  # directory not empty
    assert layout(tmp_path) == want
    with pytest.raises(OSError):
        probe("recover", str(tmp_path / "idx"))
    with pytest.raises(OSError):
        probe("heal", str(tmp_path / "idx"))
    assert layout(tmp_path) == want


def test_recover_removes_only_direct_writer_temporaries(tmp_path, probe):
    idx = tmp_path / "idx"
    make_segment(idx, "cur")
    for name in ["a.writing.tmp", ".writing.tmp", "generation.writing.tmp"]:
        (idx / name).write_bytes(b"t")
    keep = ["writing.tmp", "a.writing.tmpx", "a.writing.tm", "manifest.bin", "marker"]
    for name in keep[:3]:
        (idx / name).write_bytes(b"k")
    (idx / "d.writing.tmp").mkdir()  # a directory: unlinking fails and is ignored
    (idx / "sub").mkdir()
    (idx / "sub" / "b.writing.tmp").write_bytes(b"nested")
    (tmp_path / "beside.writing.tmp").write_bytes(b"outside")
    probe("recover", str(idx))
    assert sorted(p.name for p in idx.iterdir()) == sorted(keep + ["d.writing.tmp", "sub"])
    assert (idx / "sub" / "b.writing.tmp").exists()
    assert (tmp_path / "beside.writing.tmp").exists()


def test_recover_on_missing_path_still_cleans_siblings(tmp_path, probe):
    make_partial(tmp_path / "idx.compacting", "new")
    make_partial(tmp_path / "idx.old", "o")
    probe("recover", str(tmp_path / "idx"))
    assert layout(tmp_path) == {}
    # Nothing beside it at all: nothing happens.
    probe("recover", str(tmp_path / "other"))
    assert layout(tmp_path) == {}


HEAL = [
    # layout, expected answer, layout afterwards
    ({"idx": ("seg", "cur"), "idx.old": ("seg", "old")}, True, {"idx": ("cur", True), "idx.old": ("old", True)}),
    ({"idx.old": ("seg", "old"), "idx.compacting": ("seg", "new")}, True, {"idx": ("old", True)}),
    # Neither holds a segment: recover is not run at all, idx.old stays.
    ({"idx": ("partial", "p"), "idx.old": ("partial", "o")}, False, {"idx": ("p", False), "idx.old": ("o", False)}),
    ({}, False, {}),
]


@pytest.mark.parametrize("before,answer,after", HEAL)
def test_heal_orphaned_compaction(tmp_path, probe, before, answer, after):
    build_layout(tmp_path, before)
    assert probe("heal", str(tmp_path / "idx")) is answer
    assert layout(tmp_path) == after


# ---------------------------------------------------------------------------------------
# lock waits
# ---------------------------------------------------------------------------------------

HOLDER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o666)
fcntl.flock(fd, fcntl.LOCK_EX if sys.argv[2] == "ex" else fcntl.LOCK_SH)
print("locked", flush=True)
time.sleep(float(sys.argv[3]))
"""


def hold_lock(lock_path, mode, seconds):
    p = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(HOLDER), str(lock_path), mode, str(seconds)],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert p.stdout.readline().strip() == "locked"
    return p


@pytest.mark.parametrize("mode", ["sh", "ex"])
def test_constructor_waits_for_another_process_lock(tmp_path, mode):
    holder = hold_lock(tmp_path / "idx.lock", mode, 0.6)
    try:
        t0 = time.monotonic()
        RabitqIndex(str(tmp_path / "idx"), 8)
        assert time.monotonic() - t0 >= 0.4
    finally:
        holder.wait(timeout=30)


def test_interrupted_lock_wait_fails_with_eintr(tmp_path):
    holder = hold_lock(tmp_path / "idx.lock", "ex", 30)
    previous = signal.signal(signal.SIGUSR1, lambda *_: None)
    done = threading.Event()
    main = threading.main_thread().ident

    def poke():
        # Repeats until the constructor returns, in case the first signal lands before the
        # wait started.
        while not done.wait(0.2):
            signal.pthread_kill(main, signal.SIGUSR1)

    poker = threading.Thread(target=poke)
    poker.start()
    try:
        with pytest.raises(OSError) as ei:
            RabitqIndex(str(tmp_path / "idx"), 8)
        assert type(ei.value) is OSError
        assert ei.value.args == ("Interrupted system call (os error 4)",)
    finally:
        done.set()
        poker.join()
        signal.signal(signal.SIGUSR1, previous)
        holder.kill()
        holder.wait(timeout=30)
    assert (tmp_path / "idx.lock").exists()


NB_LOCK = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o666)
try:
    fcntl.flock(fd, (fcntl.LOCK_EX if sys.argv[2] == "ex" else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    print("free")
except BlockingIOError:
    print("busy")
"""


def try_lock(lock_path, mode):
    r = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(NB_LOCK), str(lock_path), mode],
        capture_output=True,
        text=True,
        timeout=30,
    )
    return r.stdout.strip()


def test_lock_guards_conflict_across_processes_and_release(tmp_path, probe):
    idx, lock = str(tmp_path / "idx"), tmp_path / "idx.lock"
    seen = probe("guard", idx, "shared", lambda: (try_lock(lock, "sh"), try_lock(lock, "ex")))
    assert seen == ("free", "busy")
    seen = probe("guard", idx, "exclusive", lambda: (try_lock(lock, "sh"), try_lock(lock, "ex")))
    assert seen == ("busy", "busy")
    assert try_lock(lock, "ex") == "free"  # released when the guard ends
    with pytest.raises(OSError) as ei:
        probe("guard", str(tmp_path / "missing" / "idx"), "shared", lambda: None)
    assert ei.value.args == ("No such file or directory (os error 2)",)


@pytest.mark.parametrize(
    "text,quoted",
    [
        ("/data/idx", '"/data/idx"'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("t\tr\rn\nz\0", '"t\\tr\\rn\\nz\\0"'),
        ("\x01\x7f\u0085", '"\\u{1}\\u{7f}\\u{85}"'),
        ("h\u00e9 \u4e2d 'q'", "\"h\u00e9 \u4e2d 'q'\""),
        ("zw\u200bj", '"zw\\u{200b}j"'),
    ],
)
def test_quoted_path_form(probe, text, quoted):
    assert probe("quote", text) == quoted
