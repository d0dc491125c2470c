"""Do the answers agree? Distances against a reference, recall for k > 1."""

from dataclasses import dataclass

import numpy as np

# float32 distances of float32 points: a handful of roundings of a 24-bit
# significand each, far below this.
F32_RTOL = 1e-5


@dataclass
class Check:
    ok: bool | None  # None: a quality measure (recall), not pass/fail
    text: str
    value: float | None = None  # max relative error, or recall

    def fields(self):
        """The row fields a table row and the JSON carry."""
        return {"check": self.text, "ok": self.ok, "value": self.value}

    def also(self, name, other):
        """This check, noting a peer's disagreement with the reference."""
        if other.ok is not False:
            return self
        return Check(False, f"{self.text}; {name} {other.text}", self.value)


def _mismatch(bad):
    return Check(False, f"MISMATCH {int(bad.sum())}/{bad.size}")


def same_distances(got, want):
    """float64: the module must return exactly the peer's distances."""
    got, want = np.asarray(got), np.asarray(want)
    if np.array_equal(got, want):
        return Check(True, "exact", 0.0)
    return _mismatch(got != want)


def close_distances(got, want, bound=None, rtol=F32_RTOL):
    """float32 against float64 answers on the same rounded points.

    A query whose nearest distance lies within rounding of the bound may be
    a miss on one side and a hit on the other; that counts as agreement.
    """
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    got_inf, want_inf = np.isinf(got), np.isinf(want)
    both = ~got_inf & ~want_inf
    rel = np.zeros_like(want)
    rel[both] = np.abs(got[both] - want[both]) / np.maximum(want[both], 1e-30)
    bad = (got_inf != want_inf) | (rel > rtol)
    if bound is not None:
        edge = np.where(got_inf, want, got)
        bad &= ~((got_inf != want_inf) & (np.abs(edge - bound) <= rtol * bound))
    if bad.any():
        return _mismatch(bad)
    worst = float(rel.max(initial=0.0))
    return Check(True, "exact" if worst == 0 else f"rel {worst:.0e}", worst)


def distances_agree(got, want, prec, bound=None):
    return same_distances(got, want) if prec == "f64" else close_distances(got, want, bound)


def recall(found, exact, chunk=1 << 16):
    """Share of each row's exact neighbours (indices) that `found` holds."""
    found, exact = np.asarray(found, np.int64), np.asarray(exact, np.int64)
    hits = 0
    for lo in range(0, len(exact), chunk):
        f, e = found[lo:lo + chunk], exact[lo:lo + chunk]
        hits += int((f[:, :, None] == e[:, None, :]).any(axis=2).sum())
    r = hits / exact.size
    return Check(None, f"recall {r:.5f}", r)


def median_bound(nearest):
    """A distance bound that half the queries miss: halfway between the two
    middle nearest distances, so no answer lies exactly on it."""
    d = np.sort(np.asarray(nearest, np.float64))
    mid = len(d) // 2
    return float((d[mid - 1] + d[mid]) / 2) if len(d) > 1 else float(d[0])
