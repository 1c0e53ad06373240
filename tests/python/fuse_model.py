"""A plain step-by-step Python model of `RabitqIndex.tdql_fuse`, for comparison with the
native method on random inputs. Lookups of missing cells go through `lookup(sources, ids,
query_bytes)`, which answers per id the distance in ONE source (NaN when that source has
no live row); the model chains the sources newest first itself.
"""

import math
import struct

import numpy as np

NAN = float("nan")


def fuse_model(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, lookup):
    hits_of = [list(cl[3]) for cl in clauses]
    # Rows in order of first appearance.
    ids, first, index = [], [], {}
    for i, hits in enumerate(hits_of):
        for h, (rid, _d, *_rest) in enumerate(hits):
            if rid not in index:
                index[rid] = len(ids)
                ids.append(rid)
                first.append((i, h))
    n_rows = len(ids)
    cells = n_cols * n_rows
    dist = [NAN] * cells
    weight = [0.0] * cells
    matched = [0] * cells
    filled = [0] * cells
    dropped = [0] * n_rows
    worst = [None] * n_cols
    req_hit = [0] * cells
    should_count = [0] * n_rows
    last_should = [None] * n_rows

    for i, (col, w, required, _h) in enumerate(clauses):
        hits = hits_of[i]
        if not hits:
            continue
        largest = None
        for rid, d, *_rest in hits:
            r = index[rid]
            at = col * n_rows + r
            x = _div(float(d), float(divs[col]))
            if not matched[at] or dist[at] > x:
                dist[at] = x
                weight[at] = float(w)
            matched[at] = 1
            if gates is not None:
                if required:
                    req_hit[at] = 1
                elif last_should[r] != i:
                    last_should[r] = i
                    should_count[r] += 1
            if not math.isnan(x) and (largest is None or x > largest):
                largest = x
        if largest is not None and (worst[col] is None or worst[col][1] < largest):
            worst[col] = (float(w), largest)

    if n_rows and ban:
        banned = set(ban)
        for r in range(n_rows):
            if ids[r] in banned:
                dropped[r] = 1

    if gates is not None and n_rows:
        required_all, min_req, min_should = gates
        for r in range(n_rows):
            req = sum(req_hit[c * n_rows + r] for c in range(n_cols))
            if required_all > req:
                dropped[r] = 1
            elif min_req is not None and req < min_req:
                dropped[r] = 1
            elif has_should and min_should != 0 and should_count[r] < min_should:
                dropped[r] = 1

    # Fills: per column with a worst hit, the unmatched undropped rows.
    for c in range(n_cols):
        if worst[c] is None:
            continue
        rows = [r for r in range(n_rows) if not matched[c * n_rows + r] and not dropped[r]]
        if not rows:
            continue
        sources, tombs, queries = fill[c]
        if not queries:
            continue
        alive = [not (tombs is not None and len(tombs) and ids[r] in tombs) for r in rows]
        lookup_ids = [ids[r] for r, a in zip(rows, alive) if a]
        per_query = []
        for qw, qb in queries:
            got = {}
            pending = list(lookup_ids)
            for src in sources:
                if not pending:
                    break
                d = lookup(src, pending, qb)
                still = []
                for rid, v in zip(pending, d):
                    if math.isnan(v):
                        still.append(rid)
                    else:
                        got[rid] = v
                pending = still
            vals = [got.get(ids[r], NAN) if a else NAN for r, a in zip(rows, alive)]
            per_query.append((float(qw), vals))
        for k, r in enumerate(rows):
            best, best_w = per_query[0][1][k], per_query[0][0]
            for qw, vals in per_query[1:]:
                if math.isnan(best) or best > vals[k]:
                    best, best_w = vals[k], qw
            x = _div(best, float(divs[c]))
            at = c * n_rows + r
            if math.isnan(x):
                weight[at], dist[at] = worst[c]
            else:
                dist[at], weight[at] = x, best_w
            filled[at] = 1

    # Scores.
    scores = [NAN] * n_rows
    if n_cols:
        for r in range(n_rows):
            mw = mwd = fw = fwd = 0.0
            mn = fn = 0
            for c in range(n_cols):
                at = c * n_rows + r
                if matched[at]:
                    mw += weight[at]
                    mwd += weight[at] * dist[at]
                    mn += 1
                elif filled[at]:
                    fw += weight[at]
                    fwd += weight[at] * dist[at]
                    fn += 1
            W = fw + mw
            if W != 0.0:
                scores[r] = _div(fwd + mwd, W)
            else:
                ms = fs = 0.0
                for c in range(n_cols):
                    at = c * n_rows + r
                    if matched[at]:
                        ms += dist[at]
                    elif filled[at]:
                        fs += dist[at]
                scores[r] = _div(fs + ms, float(mn + fn))

    for factor, divisor, phits in prefer:
        phits = list(phits)
        if not phits or not n_rows:
            continue
        xs = [_div(float(d), float(divisor)) for _rid, d, *_ in phits]
        lo = hi = xs[0]
        for x in xs[1:]:
            if x < lo:
                lo = x
            if x > hi:
                hi = x
        span = hi - lo
        if span == 0.0:
            span = 1.0
        for (rid, _d, *_), x in zip(phits, xs):
            if rid not in index:
                continue
            if x < 0.0:
                x = 0.0
            t = 1.0 - _div(x - lo, span)
            if t > 0.5:
                r = index[rid]
                scores[r] = (1.0 - t * float(factor)) * scores[r]

    cand = [r for r in range(n_rows) if not dropped[r]]
    if top is not None and top >= 1 and len(cand) > top and not any(math.isnan(scores[r]) for r in cand):
        threshold = sorted(scores[r] for r in cand)[top - 1]
        cand = [r for r in cand if scores[r] <= threshold]

    first_col = bytes(min(clauses[i][0], 255) for i, _h in first)
    pooled = [hits_of[i][h][0] for i, h in first]
    return (
        pooled,
        cand,
        [scores[r] for r in cand],
        struct.pack(f"<{cells}d", *dist),
        struct.pack(f"<{cells}d", *weight),
        bytes(matched),
        bytes(filled),
        first_col,
    )


def _div(a, b):
    """IEEE division as the machine does it (Python raises on a zero divisor; the machine
    gives an infinity, or its default NaN for 0 / 0)."""
    if b != 0.0:
        return a / b
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))
