"""Prepared clouds and grouped sets survive pickling and copying: the copies
answer every query bit for bit as the originals do."""

import copy
import pickle
import subprocess
import sys

import numpy as np
import pytest

import tevu
from conftest import clustered_cloud, delaunay_graph

CLASSES = {"f64": (np.float64, tevu.PreparedF64, tevu.GroupedQueriesF64),
           "f32": (np.float32, tevu.PreparedF32, tevu.GroupedQueriesF32)}


def make_join(precision, seed=3):
    """Three prepared clouds (one with duplicate points, one tiny) and the
    grouped set of all of them, two with query perms."""
    dtype, prepared, grouped = CLASSES[precision]
    rng = np.random.default_rng(seed)
    big = clustered_cloud(400, seed)
    clouds = [big, np.concatenate([big[:50], big[:50]]), rng.random((5, 3))]
    targets = [prepared(c.astype(dtype), *delaunay_graph(c)) for c in clouds]
    perms = [rng.permutation(len(clouds[0])), None, rng.permutation(5)]
    return targets, grouped.prepare(targets, perms), perms


def answers(targets, grouped, perms):
    out = [t.query_prepared(q, distance_upper_bound=0.05) for t in targets for q in targets]
    out += [t.query_grouped(grouped, None, block=1) for t in targets]
    return out


def assert_same_answers(got, want):
    for (gd, gi), (wd, wi) in zip(got, want, strict=True):
        assert gd.dtype == wd.dtype and gd.tobytes() == wd.tobytes()
        assert np.array_equal(gi, wi)


COPIERS = {
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in range(2, pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@pytest.mark.parametrize("precision", sorted(CLASSES))
@pytest.mark.parametrize("copier", sorted(COPIERS))
def test_copies_answer_identically(precision, copier):
    targets, grouped, perms = make_join(precision)
    copied_targets = [COPIERS[copier](t) for t in targets]
    copied_grouped = COPIERS[copier](grouped)
    assert all(type(c) is type(t) and c is not t for c, t in zip(copied_targets, targets))
    assert np.array_equal(copied_grouped.perm, grouped.perm)
    assert_same_answers(answers(copied_targets, copied_grouped, perms),
                        answers(targets, grouped, perms))


def test_empty_instances_round_trip():
    empty = tevu.PreparedF64(np.zeros((0, 3)), np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    grouped = tevu.GroupedQueriesF64.prepare([], [])
    copied, copied_grouped = pickle.loads(pickle.dumps((empty, grouped)))
    assert copied.n == 0 and copied_grouped.n_clouds == 0


def test_another_process_unpickles_without_importing_tevu_first():
    targets, grouped, perms = make_join("f64")
    child = ("import pickle, sys\n"
             "targets, grouped = pickle.loads(sys.stdin.buffer.read())\n"
             "out = [t.query_grouped(grouped, None, block=1) for t in targets]\n"
             "sys.stdout.buffer.write(pickle.dumps(out))\n")
    run = subprocess.run([sys.executable, "-c", child], input=pickle.dumps((targets, grouped)),
                         capture_output=True, check=True)
    assert_same_answers(pickle.loads(run.stdout), answers(targets, grouped, perms)[9:])
