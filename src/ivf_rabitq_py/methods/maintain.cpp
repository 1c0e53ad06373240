// Compaction, re-clustering and integrity verification of the handle's segment.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/verify.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_compact_doc = "";
PyObject* method_compact(PyObject* self) { return handle_of(self).compact(); }

const char* const method_rebuild_doc =
    "Full re-cluster: rebuild the index from scratch with fresh k-means and a\n"
    "right-sized number of clusters (default sqrt(live)), restoring recall after\n"
    "large incremental growth. Heavier than compact (re-runs k-means); same\n"
    "crash-safe swap + cross-process locking. Preserves ids/metadata/sparse/PCA.";
PyObject* method_rebuild(PyObject* self, Args& args) {
  std::optional<uint32_t> n_clusters;
  if (!args.get(0, n_clusters)) return nullptr;
  return handle_of(self).rebuild(n_clusters);
}

const char* const method_verify_integrity_doc =
    "At-rest fsck of this segment's data files against their recorded CRCs.\n"
    "Returns (ok, messages). ok=false means detected bit-rot; a legacy index\n"
    "(no recorded checksums) returns (true, [informational note]). Streams the\n"
    "files GIL-free.";

namespace {

constexpr const char* kNoChecksums = "no per-file checksums recorded (legacy index; run vacuum/rebuild to enable)";

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

struct VerifyOutcome {
  std::optional<PyErrValue> err;
  bool ok = true;
  std::vector<std::string> messages;
};

}  // namespace

PyObject* method_verify_integrity(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  VerifyOutcome out = without_gil([&]() -> VerifyOutcome {
    VerifyOutcome o;
    auto lf = lock_file(h.path);
    if (!lf) {
      o.err = std::move(lf).error();
      return o;
    }
    LockFile file = std::move(lf).value();
    if (ivf_rabitq::Status st = file.lock_shared(); !st) {
      o.err = io_err(st.error());
      return o;
    }
    auto opened = h.opened();
    if (!opened) {
      o.err = std::move(opened).error();
      return o;
    }
    IndexPtr ix = std::move(opened).value();
    if (ix->file_crcs.empty()) {
      o.messages.emplace_back(kNoChecksums);
      return o;
    }
    std::vector<const std::pair<const std::string, uint32_t>*> entries;
    entries.reserve(ix->file_crcs.size());
    for (const auto& e : ix->file_crcs) entries.push_back(&e);
    std::stable_sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    auto buf = std::make_unique<uint8_t[]>(ivf_rabitq::storage::kCrcBufSize);
    const std::span<uint8_t> view(buf.get(), ivf_rabitq::storage::kCrcBufSize);
    for (const auto* e : entries) {
      auto crc = ivf_rabitq::segment::crc32_recorded_file(ix->dir, e->first, view);
      if (!crc) {
        o.messages.push_back(e->first + ": unreadable (" + crc.error().text() + ")");
      } else if (*crc != e->second) {
        o.messages.push_back(e->first + ": checksum mismatch (got " + hex8(*crc) + ", want " + hex8(e->second) + ")");
      }
    }
    buf.reset();
    o.ok = o.messages.empty();
    ix.reset();
    file.close();
    return o;
  });
  if (out.err) return out.err->raise();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(out.messages.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < out.messages.size(); ++i) {
    PyObject* s = PyUnicode_DecodeUTF8(out.messages[i].data(), static_cast<Py_ssize_t>(out.messages[i].size()),
                                       "replace");
    if (s == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), s);
  }
  return Py_BuildValue("(ON)", out.ok ? Py_True : Py_False, list);
}

}  // namespace ivf_rabitq_py
