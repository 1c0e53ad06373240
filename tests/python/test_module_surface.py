"""The module object, its registration order, the class and the import-time guarantees."""

import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import tandrel
from tandrel import RabitqIndex

pytestmark = pytest.mark.timeout(60)

ALL = [
    "RabitqIndex",
    "merge_segments",
    "slot_space_ok",
    "ivf_open_count",
    "set_residency",
    "scan_json_chunk",
    "scan_json_text",
    "scan_json_texts",
]


def run_py(code, env=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        cwd=cwd,
    )


def test_all_lists_class_then_functions_in_order():
    assert tandrel.__all__ == ALL
    assert tandrel.__doc__ == ""
    for name in ALL:
        assert getattr(tandrel, name) is not None


FUNCTIONS = [
    # name, text signature, docstring prose (after the header)
    # No prose after the header: CPython shows __doc__ as None.
    ("merge_segments", "(out, dirs, tombstones, n_clusters, scale, skip, pca, n_bits, seed=42)", None),
    (
        "slot_space_ok",
        "(current, adding)",
        "Slot-space capacity check exposed for testing the fail-closed overflow guard\n"
        "(`current + adding < u32::MAX`) \u2014 allocating billions of rows to trip it in a\n"
        "test is infeasible, so the checked-arithmetic helper is verified directly.",
    ),
    (
        "ivf_open_count",
        "()",
        "Total `IvfIndex::open()` calls this process has made \u2014 test hook for TD-R1 to\n"
        "assert that a single-process flush avoids a full reopen+replay while a foreign\n"
        "append forces one.",
    ),
    ("set_residency", "(prewarm, mlock)", "residency"),
    (
        "scan_json_chunk",
        "(data, state=0)",
        "Return `(commas, openers, colons, next_state)` for a JSON byte chunk.\n"
        "State bit 0 means inside a string; bit 1 means an odd trailing backslash run.",
    ),
    ("scan_json_text", "(text)", "Return `(commas, openers, colons)` outside quoted strings in a JSON text."),
    (
        "scan_json_texts",
        "(texts)",
        "Aggregate independent JSON texts with one Python-to-native call and no joined copy.\n"
        "Lists and tuples avoid Python iterator allocation; other iterables stream itemwise.",
    ),
]


@pytest.mark.parametrize("name,sig,doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_module_function_signature_doc_and_module(name, sig, doc):
    fn = getattr(tandrel, name)
    assert fn.__name__ == name
    assert fn.__module__ == "tandrel"
    assert fn.__text_signature__ == sig
    assert str(inspect.signature(fn)) == sig
    if doc == "residency":
        assert fn.__doc__.startswith("Set the process-global residency policy")
        assert fn.__doc__.endswith("Takes effect on the next (re)open; overrides the env seed.")
    else:
        assert fn.__doc__ == doc


def test_class_attributes():
    assert RabitqIndex.__name__ == "RabitqIndex"
    assert RabitqIndex.__qualname__ == "RabitqIndex"
    # The type carries no module of its own.
    assert RabitqIndex.__module__ == "builtins"
    assert RabitqIndex.__doc__ == ""
    assert RabitqIndex.__text_signature__ == "(path, dim, n_bits=2, skip_fields=None)"
    assert str(inspect.signature(RabitqIndex)) == "(path, dim, n_bits=2, skip_fields=None)"
    assert RabitqIndex.__bases__ == (object,)


def test_class_is_final():
    with pytest.raises(TypeError):

        class Sub(RabitqIndex):  # noqa: F841
            pass


def test_instance_has_no_dict_and_no_weakref(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), 4)
    with pytest.raises(AttributeError):
        h.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(h)


CLOSE_DOC = (
    "Release this handle's open index: drop the mmaps, the WAL fd and the in-RAM\n"
    "delta/tombstone state. An immutable segment holds no un-synced WAL, so nothing is\n"
    "lost; a memtable's owner syncs before closing. The handle stays usable \u2014 the next\n"
    "call reopens lazily from disk, exactly like a handle whose generation went stale.\n"
    "The LSM calls this on segment handles it evicts so a long-lived process does not\n"
    "keep the fds/mmaps of every generation it ever opened."
)


def test_no_argument_method(tmp_path):
    h = RabitqIndex(str(tmp_path / "idx"), 4)
    assert RabitqIndex.close.__text_signature__ == "($self)"
    assert RabitqIndex.close.__doc__ == CLOSE_DOC
    assert h.close() is None
    assert h.close() is None  # twice in a row
    assert RabitqIndex.close(h) is None
    with pytest.raises(TypeError):
        h.close(None)
    with pytest.raises(TypeError):
        RabitqIndex.close(h, 1)
    with pytest.raises(TypeError):
        RabitqIndex.close(object())  # self must be a RabitqIndex
    with pytest.raises(TypeError):
        tandrel.ivf_open_count(1)
    for name in ("flush", "sync"):
        assert getattr(RabitqIndex, name).__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            getattr(RabitqIndex, name)(h, 1)
        with pytest.raises(TypeError):
            getattr(h, name)(None)
    assert sorted(os.listdir(tmp_path)) == ["idx.lock"]  # refused before any work


def test_second_initialisation_raises_import_error():
    code = """
        import ctypes, importlib.util
        import tandrel
        msg = "the tandrel module may be initialized only once per interpreter process"
        # Through the import machinery, under a name that is not cached yet.
        spec = importlib.util.spec_from_file_location("again.tandrel", tandrel.__file__)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            assert str(e) == msg, e
        else:
            raise AssertionError("second initialisation succeeded")
        # Calling the entry point directly.
        init = ctypes.PyDLL(tandrel.__file__).PyInit_tandrel
        init.restype = ctypes.py_object
        try:
            init()
        except ImportError as e:
            assert str(e) == msg, e
        else:
            raise AssertionError("second initialisation succeeded")
        # The first module is untouched.
        assert tandrel.slot_space_ok(1, 1) is True
        print("ok")
    """
    r = run_py(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_import_touches_no_file_and_opens_no_descriptor(tmp_path):
    code = """
        import os
        before = sorted(os.listdir('/proc/self/fd'))
        import tandrel
        after = sorted(os.listdir('/proc/self/fd'))
        assert before == after, (before, after)
        assert os.listdir('.') == []
        print("ok")
    """
    r = run_py(code, cwd=str(tmp_path))
    assert r.returncode == 0, r.stderr


GETENV_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

static int armed;
static char log_buf[65536];

void shim_arm(int on) { armed = on; }
const char* shim_log(void) { return log_buf; }

static void note(const char* name) {
  if (!armed || !name) return;
  size_t used = strlen(log_buf), n = strlen(name);
  if (used + n + 2 < sizeof log_buf) {
    memcpy(log_buf + used, name, n);
    log_buf[used + n] = '\n';
    log_buf[used + n + 1] = 0;
  }
}

char* getenv(const char* name) {
  static char* (*real)(const char*);
  if (!real) real = (char* (*)(const char*))dlsym(RTLD_NEXT, "getenv");
  note(name);
  return real(name);
}

char* secure_getenv(const char* name) {
  static char* (*real)(const char*);
  if (!real) real = (char* (*)(const char*))dlsym(RTLD_NEXT, "secure_getenv");
  note(name);
  return real(name);
}
"""


def test_import_reads_no_environment_variable(tmp_path):
    src = tmp_path / "shim.c"
    lib = tmp_path / "libshim.so"
    src.write_text(GETENV_SHIM)
    cc = subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(src), "-ldl"], capture_output=True, timeout=60)
    if cc.returncode != 0:
        pytest.skip("no C compiler for the getenv shim")
    code = f"""
        import ctypes
        shim = ctypes.CDLL({str(lib)!r})
        shim.shim_log.restype = ctypes.c_char_p
        shim.shim_arm(1)
        import tandrel
        shim.shim_arm(0)
        print(shim.shim_log().decode(), end="")
    """
    env = dict(os.environ, LD_PRELOAD=str(lib), TANDREL_SIMD="scalar", TANDREL_MAINT_THREADS="3")
    r = run_py(code, env=env)
    assert r.returncode == 0, r.stderr
    read = [n for n in r.stdout.splitlines() if n]
    assert [n for n in read if n.startswith("TANDREL")] == [], read
    assert read == [], read


# The class's method table: name, static method or not, text signature.
METHODS = [
    ("build", False, "($self, vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None, skip_index=None, pca=None, quant_scale=0.0)"),
    ("search", False, "($self, query, k, nprobe=32, rerank=400, filter_json=None, ensure_target_k=False)"),
    ("calibrate_nprobe", False, "($self, n_samples, k, target_recall, grid, rerank=500, seed=1234, background=False)"),
    ("add", False, "($self, id, vector, metadata=None, sparse=None)"),
    ("search_hybrid", False, "($self, query, sparse_query, k, nprobe=64, rerank=500, filter_json=None, rrf_k=60.0, ensure_target_k=False)"),
    ("sparse_search", False, "($self, sparse_query, k, filter_json=None)"),
    ("delete", False, "($self, id)"),
    ("flush", False, "($self)"),
    ("compact", False, "($self)"),
    ("rebuild", False, "($self, n_clusters=None)"),
    ("count", False, "($self)"),
    ("stats", False, "($self)"),
    ("fit_count", False, "($self)"),
    ("get_meta", False, "($self, ids, max_result_bytes=None)"),
    ("get_meta_bounded", False, "($self, ids, max_result_bytes, fast_upper=False)"),
    ("has_ids", False, "($self, ids)"),
    ("get_vectors", False, "($self, ids)"),
    ("get_sparse", False, "($self, ids)"),
    ("quant_scale", False, "($self)"),
    ("format_version", False, "($self)"),
    ("pca_basis", False, "($self)"),
    ("ids_matching", False, "($self, filter_json=None)"),
    ("count_matching", False, "($self, filter_json=None)"),
    ("aggregate_by_ids", False, "($self, field, ids)"),
    ("exists_matching", False, "($self, filter_json=None)"),
    ("set_durability", False, "($self, interval)"),
    ("set_wal_sync_ms", False, "($self, ms)"),
    ("wal_sync_count", False, "($self)"),
    ("sync", False, "($self)"),
    ("close", False, "($self)"),
    ("verify_integrity", False, "($self)"),
    ("ids_matching_limit", False, "($self, filter_json, limit)"),
    ("distances_to_many", True, "(jobs, parallel=True)"),
    ("tdql_fuse", True, "(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel)"),
    ("meta_status_across", True, "(sources, ids, metas, parallel=True)"),
    ("meta_status_columns", True, "(columns, ids, metas, parallel=True)"),
]


def test_method_table_order_kinds_and_signatures():
    names = [n for n, v in RabitqIndex.__dict__.items() if not n.startswith("__") and (callable(v) or isinstance(v, staticmethod))]
    assert names == [m[0] for m in METHODS]
    for name, static, sig in METHODS:
        raw = RabitqIndex.__dict__[name]
        assert isinstance(raw, staticmethod) is static, name
        assert getattr(RabitqIndex, name).__text_signature__ == sig, name


def test_every_method_and_function_is_built(tmp_path):
    """Each one runs on a small built index: none is a placeholder any more."""
    import numpy as np

    h = RabitqIndex(str(tmp_path / "idx"), 4)
    x = np.arange(40, dtype="<f4").reshape(10, 4)
    ids = [f"r{i}" for i in range(10)]
    h.build(x.tobytes(), 10, ids, ['{"c": "a"}'] * 10, 2, sparse=[[(1, 1.0)]] * 10)
    q = x[0].tobytes()
    calls = {
        "build": lambda: h.build(x.tobytes(), 10, ids, ['{"c": "a"}'] * 10, 2),
        "search": lambda: h.search(q, 3),
        "calibrate_nprobe": lambda: h.calibrate_nprobe(4, 3, 0.9, [1, 2]),
        "add": lambda: h.add("n", q),
        "search_hybrid": lambda: h.search_hybrid(q, [(1, 1.0)], 3),
        "sparse_search": lambda: h.sparse_search([(1, 1.0)], 3),
        "delete": lambda: h.delete("n"),
        "flush": h.flush,
        "compact": h.compact,
        "rebuild": lambda: h.rebuild(),
        "count": h.count,
        "stats": h.stats,
        "fit_count": h.fit_count,
        "get_meta": lambda: h.get_meta(["r1"]),
        "get_meta_bounded": lambda: h.get_meta_bounded(["r1"], 1 << 20),
        "has_ids": lambda: h.has_ids(["r1"]),
        "get_vectors": lambda: h.get_vectors(["r1"]),
        "get_sparse": lambda: h.get_sparse(["r1"]),
        "quant_scale": h.quant_scale,
        "format_version": h.format_version,
        "pca_basis": h.pca_basis,
        "ids_matching": lambda: h.ids_matching('{"c": "a"}'),
        "count_matching": lambda: h.count_matching('{"c": "a"}'),
        "aggregate_by_ids": lambda: h.aggregate_by_ids("c", ["r1"]),
        "exists_matching": lambda: h.exists_matching('{"c": "a"}'),
        "set_durability": lambda: h.set_durability(1),
        "set_wal_sync_ms": lambda: h.set_wal_sync_ms(0),
        "wal_sync_count": h.wal_sync_count,
        "sync": h.sync,
        "verify_integrity": h.verify_integrity,
        "ids_matching_limit": lambda: h.ids_matching_limit(None, 2),
        "distances_to_many": lambda: RabitqIndex.distances_to_many([([h], ["r1"], q)]),
        "tdql_fuse": lambda: RabitqIndex.tdql_fuse(1, [], [1.0], [], [], False, [], [], 3, False),
        "meta_status_across": lambda: RabitqIndex.meta_status_across([h], ["r1"], ['{"c": "a"}']),
        "meta_status_columns": lambda: RabitqIndex.meta_status_columns([([h], None)], ["r1"], ['{"c": "a"}']),
        "close": h.close,
    }
    assert sorted(calls) == sorted(m[0] for m in METHODS)
    for name in [m[0] for m in METHODS if m[0] != "close"] + ["close"]:
        try:
            calls[name]()
        except NotImplementedError:
            pytest.fail(f"{name} is a placeholder")
        except (TypeError, ValueError, RuntimeError, OSError):
            pass  # argument shapes of the richer methods are covered by their own tests
    out = str(tmp_path / "merged")
    try:
        tandrel.merge_segments(out, [str(tmp_path / "idx")], [], 0, 0.0, [], None, 2)
    except NotImplementedError:
        pytest.fail("merge_segments is a placeholder")
    except (TypeError, ValueError, OSError):
        pass
