"""Property-based fuzzing of every public callable with hostile input.

The property: a call returns arrays of the documented shapes and dtypes, or
raises TypeError / OverflowError for the first argument that does not
convert, PanicException for malformed data, MemoryError only where a size
beyond the address space was asked for. Nothing else, never a crash; the
inputs are unchanged and the module still answers correctly afterwards.
TEVU_FUZZ_EXAMPLES=N raises the example counts (see fuzz_strategies).
"""

import numpy as np
import pytest
from hypothesis import event, given
from hypothesis import strategies as st
from scipy.spatial import Delaunay

import _tevu
import oracle
from conftest import PanicException, brute_nearest, delaunay_graph, uniform_cloud
import fuzz_delaunay
import fuzz_grouped
import fuzz_knearest
import fuzz_strategies
from fuzz_strategies import fuzz_settings

HOSTILE = {**fuzz_strategies.HOSTILE, **fuzz_knearest.HOSTILE, **fuzz_grouped.HOSTILE,
           **fuzz_delaunay.HOSTILE}
MODELLED = {**fuzz_strategies.MODELLED, **fuzz_knearest.MODELLED, **fuzz_grouped.MODELLED}


# ---------------------------------------------------------------------------
# Health: a normal call after every example still gives the right answer

def reference_calls():
    x, y = uniform_cloud(40, 1), uniform_cloud(50, 2)
    gx, gy = delaunay_graph(x), delaunay_graph(y)
    want = brute_nearest(x, y)
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    target32 = _tevu.PreparedF32(y32, *gy)
    simplices = Delaunay(y).simplices.astype(np.uint64)
    graph = [sorted(gy[1][gy[0][v]:gy[0][v + 1]]) for v in range(len(y))]
    indptr, indices = _tevu.graph_from_simplices(simplices, len(y))
    assert [list(indices[indptr[v]:indptr[v + 1]]) for v in range(len(y))] == graph
    return [
        (lambda: _tevu.all_nearest_neighbours(x, *gx, y, *gy), want),
        (lambda: target32.query_prepared(_tevu.PreparedF32(x32, *gx)), brute_nearest(x32, y32)),
        (lambda: _tevu.graph_from_simplices(simplices, len(y)), (indptr, indices)),
    ]


REFERENCE = reference_calls()


def assert_healthy():
    for call, want in REFERENCE:
        got = call()
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


# ---------------------------------------------------------------------------
# The property

def snapshot(value, arg):
    if arg.huge or not isinstance(value, np.ndarray):
        return None
    return np.array(value, copy=True)


def assert_unchanged(value, before):
    if before is not None:
        assert value.dtype == before.dtype and value.shape == before.shape
        assert np.ascontiguousarray(value).tobytes() == before.tobytes()


def check_failure(call, exc):
    if call.signature_error is not None:
        assert type(exc) is TypeError, call.signature_error
        return
    bad = call.conversion_error()
    if bad is not None:
        assert type(exc) is bad.error, f"argument {bad.name!r}: {exc!r}"
        if bad.error is TypeError:
            assert str(exc).startswith(f"argument '{bad.name}'"), str(exc)
        if bad.message is not None:
            assert exc.args == (bad.message,)
    elif type(exc) is ValueError and call.value_error is not None:
        assert exc.args == (call.value_error,)
    elif type(exc) is ValueError and exc.args == (oracle.OVERFLOW,):
        assert call.overflow, "refused points that are near enough"
    elif type(exc) is PanicException:
        assert call.value_error is None, f"expected ValueError, got {exc!r}"
        assert call.panic is not False, f"unexpected {exc!r}"
        assert len(exc.args) == 1 and isinstance(exc.args[0], str)
        if call.message is not None:
            assert exc.args[0] == call.message
    elif type(exc) is MemoryError:
        assert call.huge(), "MemoryError without a huge argument"
    else:
        raise exc


def run(call):
    positional, keywords = call.arguments()
    before = [snapshot(a.value, a) for a in call.args]
    try:
        result = call.fn(*positional, **keywords)
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        event(type(exc).__name__)  # --hypothesis-show-statistics shows the mix
        check_failure(call, exc)
    else:
        event("result")
        assert call.signature_error is None and call.conversion_error() is None
        assert call.panic is not True, f"expected PanicException {call.message or ''}"
        assert call.value_error is None, f"expected ValueError {call.value_error}"
        call.check(result)
    for arg, snap in zip(call.args, before):
        assert_unchanged(arg.value, snap)
    assert_healthy()


@pytest.mark.parametrize("name", list(HOSTILE))
@fuzz_settings(20)
@given(data=st.data())
def test_hostile_calls(name, data):
    run(data.draw(HOSTILE[name], label="call"))


# ---------------------------------------------------------------------------
# Well-formed random graphs: bit for bit the Python model

@pytest.mark.parametrize("name", list(MODELLED))
@fuzz_settings(10)
@given(data=st.data())
def test_wellformed_graphs_match_the_model(name, data):
    got, want = data.draw(MODELLED[name], label="call")
    dist, idx = got()
    want_dist, want_idx = want()
    np.testing.assert_array_equal(dist, want_dist)
    np.testing.assert_array_equal(idx, want_idx)
