"""The executor path on a local Dask cluster of two worker processes
(loopback only) gives the thread path's result, bit for bit."""

import numpy as np
import pytest

import tevu
from test_join import awkward_points

distributed = pytest.importorskip("distributed")


def test_a_dask_cluster_gives_the_thread_result():
    clouds = [tevu.Cloud(p, morton=k % 2 == 1) for k, p in enumerate(awkward_points().values())]
    options = {"reduce": ("histogram", [0.0, 0.01, 0.03, 0.1]),
               "distance_upper_bound": 0.08}
    want = tevu.all_by_all(clouds, **options)
    want_raw = list(tevu.all_by_all(clouds, reduce=None))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        executor = client.get_executor()
        got = tevu.all_by_all(clouds, executor=executor, **options)
        got_raw = list(tevu.all_by_all(clouds, reduce=None, executor=executor, workers=2))
    assert np.array_equal(got, want, equal_nan=True)
    for g, w in zip(got_raw, want_raw, strict=True):
        assert g.target == w.target
        assert g.distances.tobytes() == w.distances.tobytes()
        assert np.array_equal(g.indices, w.indices) and np.array_equal(g.offsets, w.offsets)
