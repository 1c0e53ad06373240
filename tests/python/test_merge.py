"""merge_segments from Python: argument errors before any file is written, the rows that
survive (later inputs win, tombstones are reported), inputs left untouched, a killed merge
that leaves no segment behind, and the maintenance pool it runs on (environment table,
thread names, nice only on its threads, the interpreter lock released)."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tandrel

HERE = os.path.dirname(os.path.abspath(__file__))


def make_segment(path, ids, dim=8, seed=0, metas=None, n_clusters=4, **kw):
    x = np.random.default_rng(seed).standard_normal((len(ids), dim)).astype("<f4")
    h = tandrel.RabitqIndex(str(path), dim)
    metas = metas or [json.dumps({"tag": i, "n": k}) for k, i in enumerate(ids)]
    h.build(x.tobytes(), len(ids), ids, metas, n_clusters, **kw)
    return h, x


def checksums(path):
    out = {}
    for root, _, files in os.walk(path):
        for f in files:
            p = os.path.join(root, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, path)] = hashlib.sha256(fh.read()).hexdigest()
    return out


@pytest.fixture
def two(tmp_path):
    a, xa = make_segment(tmp_path / "a", [f"r{i}" for i in range(60)], seed=1)
    b, xb = make_segment(tmp_path / "b", [f"r{i}" for i in range(40, 100)], seed=2)
    return tmp_path, a, b, xa, xb


GOOD = dict(out=None, dirs=None, tombstones=[], n_clusters=0, scale=0.0, skip=[], pca=None, n_bits=2)


@pytest.mark.parametrize("change, exc, text", [
    (dict(dirs="SEG"), TypeError, "argument 'dirs': "),
    (dict(out=5), TypeError, "argument 'out': "),
    (dict(tombstones=[1]), TypeError, "argument 'tombstones': "),
    (dict(skip="x"), TypeError, "argument 'skip': "),
    (dict(n_clusters=-1), OverflowError, ""),
    (dict(n_bits=-2), OverflowError, ""),
    (dict(n_clusters=2 ** 64), OverflowError, ""),
    (dict(scale="big"), TypeError, "argument 'scale': "),
    (dict(pca="ab"), TypeError, "argument 'pca': "),
    (dict(pca=[[0.0] * 8]), ValueError, "pca must be a 2-sequence [mean, comps], got 1 elements"),
    (dict(pca=[[0.0], [1.0], [2.0]]), ValueError, "pca must be a 2-sequence [mean, comps], got 3 elements"),
    (dict(pca=[[0.0], "x"]), TypeError, "argument 'pca': "),
    (dict(seed=-1), OverflowError, ""),
])
def test_argument_errors_write_nothing(two, change, exc, text):
    tmp, *_ = two
    args = dict(GOOD, out=str(tmp / "out"), dirs=[str(tmp / "a"), str(tmp / "b")])
    args.update(change)
    with pytest.raises(exc) as e:
        tandrel.merge_segments(**args)
    assert str(e.value).startswith(text)
    assert not (tmp / "out").exists()


def test_rows_survive_by_the_rules(two):
    tmp, a, b, xa, xb = two
    late = np.linspace(-1, 1, 8).astype("<f4")
    b.add("late", late.tobytes(), json.dumps({"tag": "late", "s": "x"}))   # a delta row of b
    b.add("r45", xb[1].tobytes(), json.dumps({"tag": "r45", "n": "upserted"}))
    b.delete("r50")                 # deleted in b, still live in a: a's row survives
    a.delete("r10")                 # deleted in a and absent from b: gone, not reported
    a.close(), b.close()
    before = {d: checksums(tmp / d) for d in "ab"}
    mean, comps = [0.5] * 8, [0.25] * 24
    rows, dropped = tandrel.merge_segments(str(tmp / "m"), [str(tmp / "a"), str(tmp / "b")],
                                           ["r41", "r3", "absent", "r3"], 0, 0.0, ["tag"], [mean, comps], 3)
    assert dropped == ["r3", "r41", "r41"]          # in the order met: a's main rows, then b's
    assert rows == 100 + 1 - 1 - 2                   # r0..r99, late; minus r10; minus r3, r41
    assert {d: checksums(tmp / d) for d in "ab"} == before
    m = tandrel.RabitqIndex(str(tmp / "m"), 8)
    assert m.count() == rows and m.fit_count() == rows and m.format_version()[0] == 3
    assert m.pca_basis() == (pytest.approx(mean), pytest.approx(comps))
    got = dict(zip(["r45", "r50", "r10", "r41", "late", "r59"],
                   m.get_meta(["r45", "r50", "r10", "r41", "late", "r59"])))
    assert json.loads(got["r45"])["n"] == "upserted"
    assert json.loads(got["r50"]) == {"tag": "r50", "n": 50}          # from a
    assert json.loads(got["r59"]) == {"tag": "r59", "n": 19}          # b (later) wins
    assert got["r10"] == "null" and got["r41"] == "null"
    # "tag" was skipped: no column, so a filter on it matches nothing; "n" is typed both ways.
    assert m.count_matching(json.dumps({"tag": "r45"})) == 0
    assert m.count_matching(json.dumps({"n": "upserted"})) == 1
    assert m.count_matching(json.dumps({"n": {"$lt": 5}})) == 8       # a: r0 r1 r2 r4, b: r40 r42 r43 r44
    # Vectors are the sources' int8 codes re-encoded: each row finds itself.
    for rid, vec in [("r5", xa[5]), ("r70", xb[30]), ("late", late)]:
        assert m.search(vec.tobytes(), 1, 64, 400)[0][0] == rid
    with open(tmp / "m" / "generation", "rb") as f:
        assert f.read() == b"\0" * 8


def test_all_rows_tombstoned_builds_nothing(two):
    tmp, *_ = two
    ids = [f"r{i}" for i in range(100)]
    rows, dropped = tandrel.merge_segments(str(tmp / "none"), [str(tmp / "a"), str(tmp / "b")], ids, 0, 0.0,
                                           [], None, 2, seed=5)
    assert rows == 0 and sorted(dropped) == sorted(ids + [f"r{i}" for i in range(40, 60)])
    assert not (tmp / "none").exists()
    assert tandrel.merge_segments(str(tmp / "none"), [], [], 0, 0.0, [], None, 2) == (0, [])


def test_output_spelled_as_an_input_is_refused(two, monkeypatch):
    tmp, *_ = two
    os.symlink(tmp / "a", tmp / "link")
    monkeypatch.chdir(tmp)
    for out in [str(tmp / "a") + "/", str(tmp / "link"), "a", str(tmp / "b" / ".." / "a")]:
        with pytest.raises(OSError, match="^merge: output dir must not be one of the input dirs$"):
            tandrel.merge_segments(out, [str(tmp / "b"), str(tmp / "a")], [], 0, 0.0, [], None, 2)


def test_merge_errors_are_oserrors(tmp_path):
    make_segment(tmp_path / "d8", ["a", "b"], dim=8)
    make_segment(tmp_path / "d4", ["c", "d"], dim=4, n_clusters=1)
    with pytest.raises(OSError, match=r"^merge: segment dim 4 != expected 8 \(cannot merge"):
        tandrel.merge_segments(str(tmp_path / "o"), [str(tmp_path / "d8"), str(tmp_path / "d4")], [], 0, 0.0, [],
                               None, 2)
    with pytest.raises(OSError):
        tandrel.merge_segments(str(tmp_path / "o"), [str(tmp_path / "missing")], [], 0, 0.0, [], None, 2)
    assert not (tmp_path / "o").exists()


def test_interpreter_lock_is_released_during_a_merge(tmp_path):
    make_segment(tmp_path / "big", [f"r{i}" for i in range(40000)], dim=64, n_clusters=64)
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(time.monotonic())

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.05)
    start = time.monotonic()
    rows, _ = tandrel.merge_segments(str(tmp_path / "m"), [str(tmp_path / "big")], [], 400, 0.0, [], None, 2)
    end = time.monotonic()
    stop.set()
    t.join()
    assert rows == 40000
    during = [x for x in ticks if start + 0.01 < x < end - 0.01]
    assert end - start > 0.05 and len(during) > 100


KILL_CHILD = textwrap.dedent("""
    import sys, tandrel
    out, dirs = sys.argv[1], sys.argv[2:]
    print("go", flush=True)
    tandrel.merge_segments(out, dirs, [], 0, 0.0, [], None, 2)
    print("done", flush=True)
""")


def test_killed_merge_leaves_no_segment_and_untouched_inputs(tmp_path):
    make_segment(tmp_path / "a", [f"a{i}" for i in range(30000)], dim=32, seed=1, n_clusters=32)
    make_segment(tmp_path / "b", [f"b{i}" for i in range(30000)], dim=32, seed=2, n_clusters=32)
    before = {d: checksums(tmp_path / d) for d in "ab"}
    rng = np.random.default_rng(7)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tandrel.__file__) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    killed = 0
    for trial in range(6):
        out = tmp_path / f"out{trial}"
        p = subprocess.Popen([sys.executable, "-c", KILL_CHILD, str(out), str(tmp_path / "a"), str(tmp_path / "b")],
                             stdout=subprocess.PIPE, text=True, env=env)
        assert p.stdout.readline().strip() == "go"
        # Early kills always land inside the merge; later ones may find it finished.
        time.sleep([0.0, 0.02, 0.05][trial] if trial < 3 else float(rng.uniform(0.0, 0.6)))
        p.send_signal(signal.SIGKILL)
        p.wait(timeout=60)
        if (out / "manifest.bin").exists():
            # The merge finished before the kill: a complete segment.
            ok, problems = tandrel.RabitqIndex(str(out), 32).verify_integrity()
            assert ok, problems
        else:
            killed += 1   # no manifest.bin: nothing here opens as a segment
    assert killed > 0
    assert {d: checksums(tmp_path / d) for d in "ab"} == before


POOL_CHILD = textwrap.dedent("""
    import json, os, sys, threading, tandrel
    def threads():
        out = {}
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    out[int(tid)] = (f.read().strip(), os.getpriority(os.PRIO_PROCESS, int(tid)))
            except (FileNotFoundError, ProcessLookupError):  # the thread ended after listdir
                continue
        return out
    tandrel.merge_segments(sys.argv[1], [sys.argv[2]], [], 0, 0.0, [], None, 2)
    t = threads()
    print(json.dumps({"maint": sorted([v for v in t.values() if v[0].startswith("tandrel-maint")]),
                      "others": [v[0] for k, v in t.items() if not v[0].startswith("tandrel-maint")
                                 and k != threading.get_native_id()],
                      "main_nice": t[threading.get_native_id()][1]}))
""")


def default_threads():
    n = max(len(os.sched_getaffinity(0)), 1)
    return max(min(n, 4), n // 4)


@pytest.mark.parametrize("threads_env, nice_env, want_threads, want_nice", [
    (None, None, None, 0),
    ("3", " 5 ", 3, 5),
    (" +3 ", "+7", 3, 7),
    ("0", "-3", None, 0),
    ("-2", "25", None, 19),
    ("two", "abc", None, 0),
    ("4294967296", "5x", None, 0),
    ("1", "", 1, 0),
])
def test_pool_environment_names_and_nice(tmp_path, threads_env, nice_env, want_threads, want_nice):
    make_segment(tmp_path / "s", [f"r{i}" for i in range(3000)], dim=16)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TANDREL_MAINT")}
    env["PYTHONPATH"] = os.path.dirname(tandrel.__file__) + os.pathsep + os.environ.get("PYTHONPATH", "")
    if threads_env is not None:
        env["TANDREL_MAINT_THREADS"] = threads_env
    if nice_env is not None:
        env["TANDREL_MAINT_NICE"] = nice_env
    res = subprocess.run([sys.executable, "-c", POOL_CHILD, str(tmp_path / "o"), str(tmp_path / "s")], env=env,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    got = json.loads(res.stdout.strip().splitlines()[-1])
    n = want_threads or default_threads()
    base = os.getpriority(os.PRIO_PROCESS, 0)
    # Linux keeps 15 bytes of a thread name: "tandrel-maint-10" shows as "tandrel-maint-1".
    assert got["maint"] == sorted([f"tandrel-maint-{i}"[:15], min(base + want_nice, 19)] for i in range(n))
    assert got["main_nice"] == base
    # The merge's parallel passes ran on the maintenance threads: the search pool never started.
    assert got["others"] == []
