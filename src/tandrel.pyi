# Type stub of the tandrel extension module. Parameter names and defaults are the ones the
# module's text signatures give (inspect.signature shows the same); tests/python/test_stub.py
# runs mypy's stubtest against the built module so that the two cannot drift apart.
from collections.abc import Iterable, Sequence
from typing import Any, Protocol, final

__all__ = [
    "RabitqIndex",
    "merge_segments",
    "slot_space_ok",
    "ivf_open_count",
    "set_residency",
    "scan_json_chunk",
    "scan_json_text",
    "scan_json_texts",
]

class _FloatSequence(Protocol):
    # What a vector given as numbers must offer: a length and indexing (a list, a tuple,
    # a 1-D numpy array). The runtime reads it item by item with float().
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

class _Tombstones(Protocol):
    # The tombstoned ids of a fusion column: anything with len() and `in` (a set, a list).
    def __len__(self) -> int: ...
    def __contains__(self, id: object, /) -> bool: ...

# A vector: the bytes of dim little-endian float32 values, or dim numbers. A bytearray or a
# memoryview is a sequence of numbers here (its byte values), not float32 bytes.
_Vector = bytes | _FloatSequence
# Sparse terms: (term id, weight) tuples.
_Sparse = Sequence[tuple[int, float]]
# (id, distance or score) pairs as the searches return them, best first.
_Hits = list[tuple[str, float]]

@final
class RabitqIndex:
    def __new__(
        cls, path: str, dim: int, n_bits: int = 2, skip_fields: Sequence[str] | None = None
    ) -> RabitqIndex: ...
    def build(
        self,
        vectors: bytes,
        n: int,
        ids: Sequence[str],
        metadatas: Sequence[str],
        n_clusters: int,
        seed: int = 42,
        sparse: Sequence[_Sparse] | None = None,
        skip_index: Sequence[str] | None = None,
        pca: Sequence[Sequence[float]] | None = None,
        quant_scale: float = 0.0,
    ) -> None: ...
    def search(
        self,
        query: _Vector,
        k: int,
        nprobe: int = 32,
        rerank: int = 400,
        filter_json: str | None = None,
        ensure_target_k: bool = False,
    ) -> _Hits: ...
    def calibrate_nprobe(
        self,
        n_samples: int,
        k: int,
        target_recall: float,
        grid: Sequence[int],
        rerank: int = 500,
        seed: int = 1234,
        background: bool = False,
    ) -> int: ...
    def add(
        self, id: str, vector: _Vector, metadata: str | None = None, sparse: _Sparse | None = None
    ) -> None: ...
    def search_hybrid(
        self,
        query: _Vector,
        sparse_query: _Sparse,
        k: int,
        nprobe: int = 64,
        rerank: int = 500,
        filter_json: str | None = None,
        rrf_k: float = 60.0,
        ensure_target_k: bool = False,
    ) -> _Hits: ...
    def sparse_search(self, sparse_query: _Sparse, k: int, filter_json: str | None = None) -> _Hits: ...
    def delete(self, id: str) -> bool: ...
    def flush(self) -> None: ...
    def compact(self) -> None: ...
    def rebuild(self, n_clusters: int | None = None) -> None: ...
    def count(self) -> int: ...
    def stats(self) -> tuple[int, int, int]: ...
    def fit_count(self) -> int: ...
    def get_meta(self, ids: Sequence[str], max_result_bytes: int | None = None) -> list[str]: ...
    def get_meta_bounded(
        self, ids: Sequence[str], max_result_bytes: int, fast_upper: bool = False
    ) -> tuple[list[str], int, int]: ...
    def has_ids(self, ids: Sequence[str]) -> list[bool]: ...
    def get_vectors(self, ids: Sequence[str]) -> list[list[float]]: ...
    def get_sparse(self, ids: Sequence[str]) -> list[list[tuple[int, float]]]: ...
    def quant_scale(self) -> float: ...
    def format_version(self) -> tuple[int, int]: ...
    def pca_basis(self) -> tuple[list[float], list[float]] | None: ...
    def ids_matching(self, filter_json: str | None = None) -> list[str]: ...
    def count_matching(self, filter_json: str | None = None) -> int: ...
    def aggregate_by_ids(self, field: str, ids: Sequence[str]) -> tuple[dict[str, int], list[int]] | None: ...
    def exists_matching(self, filter_json: str | None = None) -> bool: ...
    def set_durability(self, interval: int) -> None: ...
    def set_wal_sync_ms(self, ms: int) -> None: ...
    def wal_sync_count(self) -> int: ...
    def sync(self) -> None: ...
    def close(self) -> None: ...
    def verify_integrity(self) -> tuple[bool, list[str]]: ...
    def ids_matching_limit(self, filter_json: str | None, limit: int) -> list[str]: ...
    @staticmethod
    def distances_to_many(
        jobs: Sequence[tuple[Sequence[RabitqIndex], Sequence[str], bytes]], parallel: bool = True
    ) -> list[list[float]]: ...
    @staticmethod
    def tdql_fuse(
        n_cols: int,
        clauses: Sequence[tuple[int, float, bool, list[tuple[str, float]]]],
        divs: Sequence[float],
        ban: Iterable[str] | None,
        gates: tuple[int, int | None, int] | None,
        has_should: bool,
        fill: Sequence[tuple[Sequence[RabitqIndex], _Tombstones | None, Sequence[tuple[float, bytes]]]],
        prefer: Sequence[tuple[float, float, list[tuple[str, float]]]],
        top: int | None,
        parallel: bool,
    ) -> tuple[list[str], list[int], list[float], bytes, bytes, bytes, bytes, bytes]: ...
    @staticmethod
    def meta_status_across(
        sources: Sequence[RabitqIndex], ids: Sequence[str], metas: Sequence[str], parallel: bool = True
    ) -> bytes: ...
    @staticmethod
    def meta_status_columns(
        columns: Sequence[tuple[Sequence[RabitqIndex], Sequence[int] | None]],
        ids: Sequence[str],
        metas: str,
        parallel: bool = True,
    ) -> list[list[int]]: ...

def merge_segments(
    out: str,
    dirs: Sequence[str],
    tombstones: Sequence[str],
    n_clusters: int,
    scale: float,
    skip: Sequence[str],
    pca: Sequence[Sequence[float]] | None,
    n_bits: int,
    seed: int = 42,
) -> tuple[int, list[str]]: ...
def slot_space_ok(current: int, adding: int) -> bool: ...
def ivf_open_count() -> int: ...
def set_residency(prewarm: bool, mlock: bool) -> None: ...
def scan_json_chunk(data: bytes, state: int = 0) -> tuple[int, int, int, int]: ...
def scan_json_text(text: str) -> tuple[int, int, int]: ...
def scan_json_texts(texts: Iterable[str]) -> tuple[int, int, int]: ...
