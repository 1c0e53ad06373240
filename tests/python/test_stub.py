"""tandrel.pyi against the built module: mypy's stubtest compares every name, parameter and
default with the runtime, and each function's result is checked against the return type the
stub declares."""

import ast
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tandrel

pytestmark = pytest.mark.timeout(300)

STUB = os.path.join(os.path.dirname(__file__), "..", "..", "src", "tandrel.pyi")


def test_stubtest_finds_no_difference(tmp_path):
    if os.environ.get("TANDREL_MODULE_DIR") is None:
        pytest.importorskip("mypy", reason="mypy is not installed (scripts/install-deps --test installs it)")
    stub_dir = tmp_path / "stub"
    stub_dir.mkdir()
    (stub_dir / "tandrel.pyi").write_text(open(STUB).read())
    env = dict(os.environ)
    env["MYPYPATH"] = str(stub_dir)
    # The module stubtest imports is the one under test, not an installed one.
    env["PYTHONPATH"] = os.path.dirname(os.path.realpath(tandrel.__file__))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tandrel", "--mypy-config-file", os.devnull,
         "--concise"],
        capture_output=True, text=True, timeout=240, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr  # the mypy cache stays in tmp_path


# ---- return types ----

def stub_returns():
    """{qualified name: return annotation node} of the stub, and its module-level aliases."""
    tree = ast.parse(open(STUB).read())
    aliases, returns = {}, {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            aliases[node.targets[0].id] = node.value
        elif isinstance(node, ast.FunctionDef):
            returns[node.name] = node.returns
        elif isinstance(node, ast.ClassDef) and node.name == "RabitqIndex":
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name != "__new__":
                    returns[f"RabitqIndex.{item.name}"] = item.returns
    return returns, aliases


SCALARS = {"int": int, "float": float, "str": str, "bool": bool, "bytes": bytes}


def conforms(value, node, aliases):
    """Whether value has the type the annotation node spells (the subset the stub uses)."""
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return conforms(value, node.left, aliases) or conforms(value, node.right, aliases)
    if isinstance(node, ast.Name):
        if node.id in aliases:
            return conforms(value, aliases[node.id], aliases)
        if node.id == "int":
            return isinstance(value, int) and not isinstance(value, bool)
        return isinstance(value, SCALARS[node.id])
    if isinstance(node, ast.Subscript):
        outer = node.value.id
        args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if outer == "list":
            return isinstance(value, list) and all(conforms(v, args[0], aliases) for v in value)
        if outer == "dict":
            return isinstance(value, dict) and all(
                conforms(k, args[0], aliases) and conforms(v, args[1], aliases) for k, v in value.items())
        if outer == "tuple":
            return (isinstance(value, tuple) and len(value) == len(args)
                    and all(conforms(v, a, aliases) for v, a in zip(value, args)))
    raise AssertionError(f"annotation the checker does not know: {ast.unparse(node)}")


DIM = 8


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    root = tmp_path_factory.mktemp("stub")
    x = np.random.default_rng(3).standard_normal((300, DIM), dtype=np.float32)
    ids = [f"d{i}" for i in range(300)]
    metas = [json.dumps({"color": "red" if i % 2 else "blue", "rank": i}) for i in range(300)]
    index = tandrel.RabitqIndex(str(root / "seg"), DIM)
    index.build(x.tobytes(), 300, ids, metas, 4, sparse=[[(i % 7, 1.0)] for i in range(300)],
                pca=[[0.0] * DIM, [0.0] * (3 * DIM)])
    index.add("new", x[1], '{"color": "red"}', sparse=[(3, 0.5)])
    yield root, index, x
    index.close()


def calls(root, index, x):
    q = x[0].tobytes()
    fuse_fill = [([index], None, [(1.0, q)])]
    return {
        "RabitqIndex.build": lambda: tandrel.RabitqIndex(str(root / "other"), DIM).build(
            x.tobytes(), 300, [f"o{i}" for i in range(300)], ["{}"] * 300, 2),
        "RabitqIndex.search": lambda: index.search(q, 5, filter_json='{"color": "red"}'),
        "RabitqIndex.calibrate_nprobe": lambda: index.calibrate_nprobe(5, 3, 0.9, [1, 2, 4]),
        "RabitqIndex.add": lambda: index.add("added", x[2].tobytes()),
        "RabitqIndex.search_hybrid": lambda: index.search_hybrid(q, [(3, 1.0)], 5),
        "RabitqIndex.sparse_search": lambda: index.sparse_search([(3, 1.0)], 5),
        "RabitqIndex.delete": lambda: index.delete("d5"),
        "RabitqIndex.flush": index.flush,
        "RabitqIndex.compact": index.compact,
        "RabitqIndex.rebuild": lambda: index.rebuild(4),
        "RabitqIndex.count": index.count,
        "RabitqIndex.stats": index.stats,
        "RabitqIndex.fit_count": index.fit_count,
        "RabitqIndex.get_meta": lambda: index.get_meta(["d1", "nope"]),
        "RabitqIndex.get_meta_bounded": lambda: index.get_meta_bounded(["d1", "nope"], 1 << 20),
        "RabitqIndex.has_ids": lambda: index.has_ids(["d1", "nope"]),
        "RabitqIndex.get_vectors": lambda: index.get_vectors(["d1", "nope"]),
        "RabitqIndex.get_sparse": lambda: index.get_sparse(["d1", "nope"]),
        "RabitqIndex.quant_scale": index.quant_scale,
        "RabitqIndex.format_version": index.format_version,
        "RabitqIndex.pca_basis": index.pca_basis,
        "RabitqIndex.ids_matching": lambda: index.ids_matching('{"rank": {"$lt": 4}}'),
        "RabitqIndex.count_matching": lambda: index.count_matching('{"color": "red"}'),
        "RabitqIndex.aggregate_by_ids": lambda: index.aggregate_by_ids("color", ["d1", "d2"]),
        "RabitqIndex.exists_matching": lambda: index.exists_matching('{"color": "red"}'),
        "RabitqIndex.set_durability": lambda: index.set_durability(1),
        "RabitqIndex.set_wal_sync_ms": lambda: index.set_wal_sync_ms(0),
        "RabitqIndex.wal_sync_count": index.wal_sync_count,
        "RabitqIndex.sync": index.sync,
        "RabitqIndex.close": index.close,
        "RabitqIndex.verify_integrity": index.verify_integrity,
        "RabitqIndex.ids_matching_limit": lambda: index.ids_matching_limit(None, 3),
        "RabitqIndex.distances_to_many": lambda: tandrel.RabitqIndex.distances_to_many(
            [([index], ["d1", "nope"], q)]),
        "RabitqIndex.tdql_fuse": lambda: tandrel.RabitqIndex.tdql_fuse(
            1, [(0, 1.0, False, [("d1", 0.5), ("d2", 1.0)])], [1.0], None, None, False,
            fuse_fill, [], None, True),
        "RabitqIndex.meta_status_across": lambda: tandrel.RabitqIndex.meta_status_across(
            [index], ["d1", "nope"], ['{"color": "red", "rank": 1}', "{}"]),
        "RabitqIndex.meta_status_columns": lambda: tandrel.RabitqIndex.meta_status_columns(
            [([index], None)], ["d1", "d2"], '{}\n{"color": "blue", "rank": 2}'),
        "merge_segments": lambda: tandrel.merge_segments(
            str(root / "merged"), [str(root / "seg")], ["d3"], 0, 0.0, [], None, 2),
        "slot_space_ok": lambda: tandrel.slot_space_ok(1, 2),
        "ivf_open_count": tandrel.ivf_open_count,
        "set_residency": lambda: tandrel.set_residency(False, False),
        "scan_json_chunk": lambda: tandrel.scan_json_chunk(b'{"a": [1, 2]}'),
        "scan_json_text": lambda: tandrel.scan_json_text('{"a": [1, 2]}'),
        "scan_json_texts": lambda: tandrel.scan_json_texts(["[1]", "{}"]),
    }


def test_results_have_the_declared_return_types(built):
    returns, aliases = stub_returns()
    table = calls(*built)
    # Every function of the stub is called: a new one needs its row here.
    assert sorted(table) == sorted(returns)
    wrong = []
    for name, call in table.items():
        value = call()
        if not conforms(value, returns[name], aliases):
            wrong.append(f"{name} returned {value!r:.200}, the stub says {ast.unparse(returns[name])}")
    assert not wrong, "\n".join(wrong)
