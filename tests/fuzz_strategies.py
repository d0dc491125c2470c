"""Hypothesis strategies for hostile calls of the module's callables.

A strategy draws a `Call`: the callable, its arguments (each knowing which
exception its conversion must raise, if any), whether the call must or may
raise PanicException, and a check for a successful result. tests/test_fuzz.py
runs every strategy of `HOSTILE` through the same property. Covering a new
callable takes one strategy built from the argument strategies below and one
entry in `HOSTILE` (and, for a comparison with the Python model on
well-formed graphs, one entry in `MODELLED`). This module covers the k = 1
functions, graph_from_simplices and the prepared classes' k = 1 methods;
fuzz_knearest.py and fuzz_grouped.py cover the k-nearest and the blocked
searches with tables of the same form.

Inputs are mostly small and often malformed: CSR offsets that decrease or
run past the end, ids out of range, empty or one-sided graphs, strided,
reversed, broadcast and unaligned arrays, NaN / inf / extreme coordinates,
too few columns, wrong dtypes and dimensions, integers that are negative,
too large or not integers, bounds of every kind. "Huge" arguments are
broadcast views whose size exceeds the address space, so they can only end
in "capacity overflow" or MemoryError, never in an allocation that happens
to succeed.
"""

import functools
import operator
import os
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Callable

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _tevu
import oracle
from conftest import sq_dist
from test_simplex_graph import model as simplex_model

FLOATS = {"f64": np.float64, "f32": np.float32}
U32 = np.uint32
INDEX_DTYPE = np.dtype(np.uint)  # NumPy type number 8, C unsigned long

# ---------------------------------------------------------------------------
# Example counts

# TEVU_FUZZ_EXAMPLES=N runs N examples per property with fresh random seeds;
# without it every run draws the same, derandomized examples.
EXAMPLES = int(os.environ.get("TEVU_FUZZ_EXAMPLES", "0"))


def fuzz_settings(default_examples):
    return settings(max_examples=EXAMPLES or default_examples, deadline=None,
                    derandomize=not EXAMPLES, database=None, print_blob=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


# ---------------------------------------------------------------------------
# Calls

@dataclass
class Arg:
    name: str
    value: object
    error: type | None = None  # what converting it raises (TypeError, OverflowError)
    message: str | None = None  # the exact text, when that is a PanicException
    huge: bool = False         # its size exceeds the address space
    optional: bool = False     # may be omitted (then it is None)


@dataclass
class Call:
    fn: Callable
    args: list
    check: Callable[[object], None]  # validates a successful result
    panic: bool | None = None        # True: must raise PanicException; None: may
    message: str | None = None       # the exact panic message, when known
    value_error: str | None = None   # the exact ValueError message, when it must raise one
    overflow: bool = False           # may refuse points too far apart (oracle.OVERFLOW)
    # How the arguments are passed: the first `positional` by position, the
    # rest by keyword in `keyword_order`; `omit` drops optional ones;
    # `signature_error` breaks the call itself.
    positional: int = 0
    keyword_order: list = field(default_factory=list)
    omit: frozenset = frozenset()
    signature_error: str | None = None

    def present(self):
        return [a for a in self.args if a.name not in self.omit]

    def huge(self):
        return any(a.huge for a in self.present())

    def conversion_error(self):
        """The first argument whose conversion fails, in signature order."""
        return next((a for a in self.present() if a.error is not None), None)

    def arguments(self):
        """(positional values, keyword dict) as the call passes them."""
        present = self.present()
        if self.signature_error == "missing":
            dropped = [a for a in present if not a.optional][-1]
            return [], {a.name: a.value for a in present if a is not dropped}
        if self.signature_error == "surplus":
            return [a.value for a in present] + [None] * (len(self.args) + 1 - len(present)), {}
        if self.signature_error == "duplicate":
            return [a.value for a in present], {present[0].name: present[0].value}
        positional = [a.value for a in present[:self.positional]]
        keywords = {present[i].name: present[i].value
                    for i in self.keyword_order if i >= self.positional}
        if self.signature_error == "unknown keyword":
            keywords["bogus"] = 1
        return positional, keywords


@st.composite
def passing(draw, call):
    """Draws how `call`'s arguments are passed and returns the call."""
    names = [a.name for a in call.args if a.optional]
    call.omit = frozenset(draw(st.sets(st.sampled_from(names)))) if names else frozenset()
    present = len(call.args) - len(call.omit)
    # Arguments after an omitted one can only go by keyword.
    first_omitted = next((i for i, a in enumerate(call.args) if a.name in call.omit), present)
    call.positional = draw(st.integers(0, first_omitted))
    call.keyword_order = draw(st.permutations(range(present)))
    call.signature_error = draw(st.sampled_from(
        [None] * 24 + ["missing", "surplus", "unknown keyword", "duplicate"]))
    return call


# ---------------------------------------------------------------------------
# Arrays

class Subclass(np.ndarray):
    """An ndarray subclass: accepted wherever an ndarray is."""


def specials(dtype):
    info = np.finfo(dtype)
    return [np.nan, np.inf, -np.inf, 0.0, -0.0, float(info.max), -float(info.max),
            float(info.tiny), float(info.smallest_subnormal)]


def coordinates(dtype):
    width = 32 if dtype == np.float32 else 64
    return st.one_of(st.integers(-2, 2).map(float),  # exact ties are common
                     st.floats(-4, 4, width=width),
                     st.sampled_from(specials(dtype)))


def unaligned(a):
    buffer = np.zeros(a.nbytes + a.itemsize, np.uint8)
    out = np.ndarray(a.shape, a.dtype, buffer=buffer, offset=1)
    out[...] = a
    return out


def stepped(a):
    big = np.zeros((2 * len(a),) + a.shape[1:], a.dtype)
    big[::2] = a
    return big[::2]


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


LAYOUTS = {
    "C": lambda a: a,
    "F": np.asfortranarray,
    "reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "stepped": stepped,
    "unaligned": unaligned,
    "read-only": read_only,
    "subclass": lambda a: a.view(Subclass),
    # Every row (element) a copy of the first one: stride 0.
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape) if len(a) else a,
}


@st.composite
def laid_out(draw, array):
    """The same array in a random memory layout (broadcast repeats the first row)."""
    return LAYOUTS[draw(st.sampled_from(["C"] * 8 + sorted(LAYOUTS)))](array)


# Longer than any allocation can be: 2^50 rows of points need 2^55 bytes or
# more; 2^60 CSR entries overflow every byte count derived from them.
HUGE_ROWS = 2**50
HUGE_LENGTH = 2**60


@st.composite
def wrong_array(draw, array, dtype):
    """Something that is not an array of `dtype` with `array`'s dimensions."""
    other = [t for t in (np.float64, np.float32, np.int64, np.uint64, np.int32, np.uint32,
                         np.float16, np.bool_) if np.dtype(t) != np.dtype(dtype)]
    kind = draw(st.sampled_from(["dtype", "byte order", "ndim+1", "ndim-1", "list", "scalar",
                                 "None", "object"]))
    if kind == "dtype":
        with np.errstate(all="ignore"):  # NaN to int and the like
            return array.astype(draw(st.sampled_from(other)))
    if kind == "byte order":
        return array.astype(np.dtype(dtype).newbyteorder())
    if kind == "ndim+1":
        return array[None]
    if kind == "ndim-1":
        return array.ravel() if array.ndim == 2 else np.array(array[0] if len(array) else 0,
                                                               dtype)
    if kind == "list":
        return array.tolist()
    if kind == "scalar":
        return dtype(0)
    if kind == "None":
        return None
    return array.astype(object)


@st.composite
def array_arg(draw, name, array, dtype, huge_length, hostile=True):
    """`array` in some layout or, when hostile, now and then a wrong object
    or a huge broadcast."""
    kind = draw(st.sampled_from(["array"] * 16 + ["wrong", "huge"])) if hostile else "array"
    if kind == "wrong":
        return Arg(name, draw(wrong_array(array, dtype)), TypeError)
    if kind == "huge":
        first = array[:1] if len(array) else np.zeros((1,) + array.shape[1:], dtype)
        return Arg(name, np.broadcast_to(first, (huge_length,) + array.shape[1:]), huge=True)
    return Arg(name, draw(laid_out(array)))


@st.composite
def points_array(draw, dtype, rows, hostile=True):
    cols = draw(st.sampled_from([3] * 8 + [4, 5] + ([2, 1, 0] if hostile else [])))
    return draw(hnp.arrays(dtype, (rows, cols), elements=coordinates(dtype)))


# ---------------------------------------------------------------------------
# CSR graphs

def csr_from_degrees(degrees, ids):
    indptr = np.zeros(len(degrees) + 1, U32)
    indptr[1:] = np.cumsum(degrees, dtype=np.uint64)
    return indptr, np.array(ids, U32)


MUTATIONS = ["none"] * 14 + ["decrease", "past the end", "bad id", "max", "empty indptr",
                            "random"]


@st.composite
def csr_arrays(draw, n_vertices, id_limit):
    """(indptr, indices) of a graph over `n_vertices` with ids below
    `id_limit`, often broken by one mutation."""
    degrees = draw(st.lists(st.integers(0, 4), min_size=n_vertices, max_size=n_vertices))
    ids = draw(st.lists(st.integers(0, max(id_limit - 1, 0)), min_size=sum(degrees),
                        max_size=sum(degrees)))
    indptr, indices = csr_from_degrees(degrees, ids)
    mutation = draw(st.sampled_from(MUTATIONS))
    pick = st.integers(0, 1 << 30)
    if mutation == "decrease" and len(indptr) > 2 and indptr[-1] > 0:
        i = draw(pick) % (len(indptr) - 1)
        indptr[i], indptr[-1] = indptr[-1], 0
    elif mutation == "past the end":
        indptr[draw(pick) % len(indptr)] = len(indices) + draw(st.integers(1, 3))
    elif mutation == "bad id" and len(indices):
        indices[draw(pick) % len(indices)] = id_limit + draw(st.sampled_from([0, 1, 2**31]))
    elif mutation == "max":
        target = indptr if draw(st.booleans()) or not len(indices) else indices
        target[draw(pick) % len(target)] = 2**32 - 1
    elif mutation == "empty indptr":
        indptr = np.zeros(0, U32)
    elif mutation == "random":
        indptr = np.array(draw(st.lists(st.integers(0, 6), max_size=n_vertices + 2)), U32)
    return indptr, indices


@dataclass
class Cloud:
    points: Arg
    indptr: Arg
    indices: Arg

    def args(self):
        return [self.points, self.indptr, self.indices]

    def valid_types(self):
        return all(a.error is None for a in self.args())

    def packs(self):
        """Whether its points can be packed: no rows, or three columns or
        more (a huge array runs out of memory instead)."""
        p = self.points.value
        return self.points.huge or p.shape[0] == 0 or p.shape[1] >= 3

    def n_vertices(self):
        return len(self.indptr.value) - 1

    def graph(self):
        return self.indptr.value, self.indices.value


@st.composite
def clouds(draw, dtype, names, hostile=True):
    """A cloud's three arguments: points, CSR offsets, neighbour ids. Not
    hostile: the right types, nothing huge, points with three columns or
    more (or none); the graph may still be malformed."""
    rows = draw(st.integers(0, 8))
    points = draw(points_array(dtype, rows, hostile))
    n_vertices = max(rows + draw(st.sampled_from([0, 0, 0, 0, 0, -1, 1, 2])), 0)
    id_limit = max(rows + draw(st.sampled_from([0, 0, 0, 0, 1])), 0)
    indptr, indices = draw(csr_arrays(n_vertices, id_limit))
    return Cloud(draw(array_arg(names[0], points, dtype, HUGE_ROWS, hostile)),
                 draw(array_arg(names[1], indptr, U32, HUGE_LENGTH, hostile)),
                 draw(array_arg(names[2], indices, U32, HUGE_LENGTH, hostile)))


# ---------------------------------------------------------------------------
# Scalars

BAD_OBJECTS = ["1.0", [], None, object(), complex(1, 0), b"1"]


@st.composite
def sizes(draw, name, small=st.integers(0, 12), huge=(), large=(), ints=8):
    """Integer arguments: small ones as various integer types (plain ints
    `ints` times as often as each other kind), now and then one of the
    `huge` values (sizes no allocation can hold) or of the `large` ones
    (that must work all the same), and ones that are negative, beyond
    pointer width or not integers at all."""
    kind = draw(st.sampled_from(["int"] * ints + ["numpy", "bool", "negative", "too large",
                                               "float", "other"] + ["huge"] * bool(huge)
                                + ["large"] * bool(large)))
    if kind == "int":
        return Arg(name, draw(small))
    if kind == "large":
        return Arg(name, draw(st.sampled_from(large)))
    if kind == "huge":
        return Arg(name, draw(st.sampled_from(huge)), huge=True)
    if kind == "numpy":
        value = draw(small)
        return Arg(name, draw(st.sampled_from([np.int64, np.uint64, np.uint8, np.intp]))(value))
    if kind == "bool":
        return Arg(name, draw(st.booleans()))
    if kind == "negative":
        value = draw(st.sampled_from([-1, -2**63, -10**30]))
        if value >= -2**63 and draw(st.booleans()):
            value = np.int64(value)
        return Arg(name, value, OverflowError)
    if kind == "too large":
        return Arg(name, draw(st.sampled_from([2**64, 2**64 + 1, 10**40])), OverflowError)
    if kind == "float":
        return Arg(name, draw(st.sampled_from([1.0, 0.5, np.float64(2.0), float("nan")])),
                   TypeError)
    return Arg(name, draw(st.sampled_from(BAD_OBJECTS)), TypeError)


@st.composite
def bounds(draw, name="distance_upper_bound"):
    """distance_upper_bound: omitted, None, any number, or not a number."""
    kind = draw(st.sampled_from(["None"] * 3 + ["float"] * 6 + ["number", "special", "bad",
                                                                 "too large"]))
    if kind == "None":
        return Arg(name, None, optional=True)
    if kind == "float":
        return Arg(name, draw(st.floats(-1, 6) | st.integers(0, 4).map(float)), optional=True)
    if kind == "number":
        value = draw(st.sampled_from([1, 0, -2, True, Fraction(1, 3), np.float32(0.7),
                                      np.float64(1.5), np.int64(2), np.array(0.9)]))
        return Arg(name, value, optional=True)
    if kind == "special":
        return Arg(name, draw(st.sampled_from([np.nan, np.inf, -np.inf, 1e300, -0.0, 5e-324,
                                               3.4e38])), optional=True)
    if kind == "too large":
        return Arg(name, 10**400, OverflowError, optional=True)
    return Arg(name, draw(st.sampled_from(BAD_OBJECTS[:1] + BAD_OBJECTS[3:])), TypeError,
               optional=True)


def bound_value(arg, call):
    """The bound a call passes to the search, as a Python float, or None."""
    if arg.name in call.omit or arg.value is None:
        return None
    return float(arg.value)


# ---------------------------------------------------------------------------
# Result checks

def as_points(value):
    """The coordinates a search reads. Only a search that fails reads rows
    of fewer than three columns, so those are taken as none."""
    points = np.asarray(value)
    return points[:, :3] if points.shape[1] >= 3 else np.zeros((0, 3), points.dtype)


def lane_squares(query, target, dtype):
    """Squared distances in `dtype`, summed as (dx² + dy²) + dz², target
    minus query."""
    with np.errstate(all="ignore"):
        d = target.astype(dtype) - query.astype(dtype)
        d = d * d
        return (d[:, 0] + d[:, 1]) + d[:, 2]


def lane_distances(query, target, dtype):
    with np.errstate(all="ignore"):
        return np.sqrt(lane_squares(query, target, dtype))


def within(d2, bound, dtype):
    """Whether squared distances d2 are not beyond the bound, as the
    searches test it: d² > b² in `dtype` is beyond."""
    with np.errstate(all="ignore"):
        b = dtype(bound)
        return ~(d2 > b * b)


def check_local_minima(query, target, graph, hits, idx, dtype):
    """Every answer is where a descent stops: no neighbour of the answer in
    the target graph is nearer to the query point, nor equally near with a
    smaller index (the answer's neighbour list was read to know that, so it
    is well formed)."""
    indptr, indices = (np.asarray(a) for a in graph)
    for i in hits:
        v = int(idx[i])
        neighbours = indices[int(indptr[v]):int(indptr[v + 1])].astype(np.int64)
        q = query[i:i + 1]
        here = lane_squares(q, target[v:v + 1], dtype)[0]
        there = lane_squares(np.repeat(q, len(neighbours), axis=0), target[neighbours], dtype)
        better = (there < here) | ((there == here) & (neighbours < v))
        assert not better.any(), f"query point {i} stopped at {v}, not a local minimum"


def check_pair(result, shape, dtype):
    """A (distances, indices) tuple of two new arrays of `shape`."""
    assert type(result) is tuple and len(result) == 2
    dist, idx = result
    for a in (dist, idx):
        assert type(a) is np.ndarray and a.shape == shape
        assert a.flags.c_contiguous and a.flags.writeable
    assert dist.size == 0 or not np.shares_memory(dist, idx)
    assert dist.dtype == dtype and idx.dtype == INDEX_DTYPE
    return dist, idx


def check_nearest(result, *, n, dtype, query, target, bound, graph=None):
    """(distances, indices) of n query points: each answer is the miss
    marker or a target point whose distance is the one reported, within
    the bound, where a descent over the target `graph` (if given) stops;
    without a bound every point is answered, except that the blocked
    descent answers everything with (inf, 0) when the target is empty."""
    dist, idx = check_pair(result, (n,), dtype)
    ny = len(target)
    if ny == 0 and bound is None:
        assert np.all(np.isposinf(dist)) and np.all(idx == 0)
        return
    assert np.all(idx <= ny)
    miss = idx == ny
    assert np.all(np.isposinf(dist[miss]))
    if bound is None:
        assert not miss.any()
    hit = np.flatnonzero(~miss)
    assert np.all(hit < len(query)), "a query point without coordinates was answered"
    want = lane_distances(query[hit], target[idx[hit]], dtype)
    np.testing.assert_array_equal(dist[hit], want)
    if bound is not None:
        with np.errstate(all="ignore"):
            b = dtype(bound)
            assert not np.any(dist[hit] * dist[hit] > b * b)
    if graph is not None:
        check_local_minima(query, target, graph, hit, idx, dtype)


def nearest_check(query, target, dtype, bound=None, graph=None):
    """The check of a k = 1 search of `target` (with its graph, when known)
    for the `query` cloud."""
    return functools.partial(check_nearest, n=query.n_vertices(), dtype=dtype,
                             query=as_points(query.points.value), target=target,
                             bound=bound, graph=graph)


def may_overflow(query, target, dtype):
    """Whether a search of the `target` points for the `query` points may
    refuse them as too far apart: some finite query point and finite target
    point have a squared distance that overflows in `dtype`."""
    q, t = (np.asarray(a)[:, :3].astype(dtype) for a in (query, target))
    q, t = q[np.isfinite(q).all(axis=1)], t[np.isfinite(t).all(axis=1)]
    if len(q) == 0 or len(t) == 0:
        return False
    with np.errstate(all="ignore"):
        return bool(np.isposinf(sq_dist(q, t)).any())


def cloud_may_overflow(query, target, dtype):
    """may_overflow for a query cloud and target points of any kind."""
    if query.points.huge:
        return False
    points = query.points.value
    usable = [isinstance(a, np.ndarray) and a.ndim == 2 and a.shape[1] >= 3
              for a in (points, target)]
    return all(usable) and may_overflow(points, target, dtype)


def must_panic(query, *others):
    """Whether a search that packs `query` and `others` (in that order) must
    fail: when one has rows but fewer than three columns, or the query has
    no offsets at all or more than any allocation can hold. None: it may.
    Calls with huge points may run out of memory first instead."""
    if not all(c.packs() for c in (query,) + others):
        return True
    return True if query.indptr.huge or query.n_vertices() < 0 else None


# ---------------------------------------------------------------------------
# The module functions

NEAREST = {"f64": _tevu.all_nearest_neighbours, "f32": _tevu.all_nearest_neighbours_f32}
X_NAMES = ("x_points", "x_indices", "x_neighbors")
Y_NAMES = ("y_points", "y_indices", "y_neighbors")


def ignore(result):
    """The check of calls that must raise."""


@st.composite
def nearest_calls(draw, prec):
    dtype = FLOATS[prec]
    x = draw(clouds(dtype, X_NAMES))
    y = draw(clouds(dtype, Y_NAMES))
    call = draw(passing(Call(NEAREST[prec], x.args() + y.args(), check=ignore)))
    if x.valid_types() and y.valid_types():
        if not (x.points.huge or y.points.huge):
            call.panic = must_panic(x, y)
        call.check = nearest_check(x, as_points(y.points.value), dtype, graph=y.graph())
        call.overflow = not y.points.huge and cloud_may_overflow(x, y.points.value, dtype)
    return call


@st.composite
def simplices_calls(draw):
    rows = draw(st.integers(0, 6))
    cols = draw(st.sampled_from([4] * 6 + [5, 3, 0]))
    limit = draw(st.integers(0, 9))
    ids = draw(st.lists(st.integers(0, max(limit - 1, 0)), min_size=rows * cols,
                        max_size=rows * cols))
    if ids and draw(st.integers(0, 3)) == 3:
        bad = st.integers(limit, limit + 1) | st.sampled_from([2**32 - 1, 2**32, 2**64 - 1])
        ids[draw(st.integers(0, len(ids) - 1))] = draw(bad)
    array = np.array(ids, np.uint64).reshape(rows, cols)
    # 2^50 rows need 2^55 bytes of raw ids; 3 * 2^56 rows overflow the byte
    # count (and are about the most NumPy can broadcast five columns to).
    simplices = draw(array_arg("simplices", array, np.uint64, draw(st.sampled_from(
        [2**50, 3 * 2**56]))))
    n_points = draw(sizes("n_points", st.just(limit), huge=(2**32 + 1, 2**40, 2**64 - 1)))
    call = draw(passing(Call(_tevu.graph_from_simplices, [simplices, n_points], check=ignore)))
    if simplices.error is None and n_points.error is None:
        expect_simplices(call, np.asarray(simplices.value), operator.index(n_points.value),
                         simplices.huge)
    return call


def expect_simplices(call, simplices, n_points, huge):
    """The exact outcome of a build (a huge input may also run out of memory)."""
    if n_points > 2**32:
        call.panic, call.message = True, "capacity overflow"
    elif len(simplices) and simplices.shape[1] < 4:
        call.panic, call.message = True, "ndarray: index out of bounds"
    elif huge:
        call.panic = None
    else:
        bad = [v for v in simplices[:, :4].ravel().tolist() if v >= n_points]
        if bad:
            call.panic = True
            call.message = f"index out of bounds: the len is {n_points} but the index is {bad[0]}"
        else:
            call.panic = False
            call.check = functools.partial(check_simplex_graph, n_points=n_points,
                                           want=simplex_model(simplices, n_points))


def check_simplex_graph(result, n_points, want):
    assert type(result) is tuple and len(result) == 2
    for a in result:
        assert type(a) is np.ndarray and a.dtype == np.uint32 and a.ndim == 1
        assert a.flags.c_contiguous and a.flags.writeable
    indptr, indices = result
    assert len(indptr) == n_points + 1
    got = [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(n_points)]
    assert got == want


# ---------------------------------------------------------------------------
# The prepared classes

PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
OTHER_PRECISION = {"f64": "f32", "f32": "f64"}


def check_prepared(instance, *, cls, points):
    """A new instance: n, data (bit for bit the first three columns) and repr."""
    assert type(instance) is cls
    rows = len(points)
    assert instance.n == rows
    assert repr(instance) == f"{cls.__name__}(n={rows})"
    data = instance.data
    assert type(data) is np.ndarray and data.shape == (rows, 3) and data.flags.c_contiguous
    assert data.dtype == points.dtype
    want = np.ascontiguousarray(points[:, :3]) if rows else np.zeros((0, 3), points.dtype)
    bits = np.dtype(f"u{points.dtype.itemsize}")
    np.testing.assert_array_equal(data.view(bits), want.view(bits))


@st.composite
def constructor_calls(draw, prec):
    cloud = draw(clouds(FLOATS[prec], ("points", "indptr", "indices")))
    cls = PREPARED[prec]
    call = draw(passing(Call(cls, cloud.args(), check=ignore)))
    if cloud.valid_types() and not call.huge():
        if cloud.packs():
            call.panic = False
            call.check = functools.partial(check_prepared, cls=cls,
                                           points=np.asarray(cloud.points.value))
        else:
            call.panic, call.message = True, "ndarray: index out of bounds"
    return call


@dataclass
class Prepared:
    """An instance with the cloud it was built from."""
    instance: object
    cloud: Cloud


@st.composite
def prepared(draw, prec):
    """An instance of a well-typed cloud whose graph may be malformed."""
    cloud = draw(clouds(FLOATS[prec], ("points", "indptr", "indices"), hostile=False))
    return Prepared(PREPARED[prec](*(a.value for a in cloud.args())), cloud)


@st.composite
def query_calls(draw, prec):
    dtype = FLOATS[prec]
    target = draw(prepared(prec))
    x = draw(clouds(dtype, ("x_points", "x_indptr", "x_indices")))
    bound = draw(bounds())
    call = draw(passing(Call(target.instance.query, x.args() + [bound], check=ignore)))
    if x.valid_types() and call.conversion_error() is None:
        if not x.points.huge:
            call.panic = must_panic(x)
        call.check = nearest_check(x, target.instance.data, dtype, bound_value(bound, call),
                                   target.cloud.graph())
        call.overflow = cloud_may_overflow(x, target.instance.data, dtype)
    return call


@st.composite
def others(draw, prec, target):
    """The `other` argument of query_prepared: mostly an instance of the same
    class (the target itself included), else something that is not."""
    kind = draw(st.sampled_from(["instance"] * 4 + ["self", "wrong"]))
    if kind == "instance":
        query = draw(prepared(prec))
        return Arg("other", query.instance), query.cloud
    if kind == "self":
        return Arg("other", target.instance), target.cloud
    wrong = draw(st.sampled_from(["other precision", "array", "class", "object"]))
    if wrong == "other precision":
        value = draw(prepared(OTHER_PRECISION[prec])).instance
    elif wrong == "array":
        value = target.instance.data
    elif wrong == "class":
        value = PREPARED[prec]
    else:
        value = draw(st.sampled_from(BAD_OBJECTS))
    return Arg("other", value, TypeError), None


@st.composite
def query_prepared_calls(draw, prec):
    target = draw(prepared(prec))
    other, query = draw(others(prec, target))
    bound = draw(bounds())
    call = draw(passing(Call(target.instance.query_prepared, [other, bound], check=ignore)))
    if call.conversion_error() is None:
        call.panic = True if query.n_vertices() < 0 else None
        call.check = nearest_check(query, target.instance.data, FLOATS[prec],
                                   bound_value(bound, call), target.cloud.graph())
        call.overflow = cloud_may_overflow(query, target.instance.data, FLOATS[prec])
    return call


# ---------------------------------------------------------------------------
# Every callable, by name

HOSTILE = {
    "all_nearest_neighbours": nearest_calls("f64"),
    "all_nearest_neighbours_f32": nearest_calls("f32"),
    "graph_from_simplices": simplices_calls(),
    "PreparedF64": constructor_calls("f64"),
    "PreparedF32": constructor_calls("f32"),
    "PreparedF64.query": query_calls("f64"),
    "PreparedF32.query": query_calls("f32"),
    "PreparedF64.query_prepared": query_prepared_calls("f64"),
    "PreparedF32.query_prepared": query_prepared_calls("f32"),
}


# ---------------------------------------------------------------------------
# Well-formed graphs, compared with the Python model of the search

@st.composite
def wellformed_clouds(draw, dtype):
    """Points (often on a small integer grid, so that distances tie) in any
    layout, with a random contiguous graph over them: not a Delaunay graph,
    so seeds and traversal order decide the answers."""
    n = draw(st.integers(1, 8))
    width = 32 if dtype == np.float32 else 64
    values = st.integers(-2, 2).map(float) | st.floats(-3, 3, width=width)
    points = draw(hnp.arrays(dtype, (n, 3), elements=values))
    degrees = draw(st.lists(st.integers(0, 4), min_size=n, max_size=n))
    ids = draw(st.lists(st.integers(0, n - 1), min_size=sum(degrees), max_size=sum(degrees)))
    return (draw(laid_out(points)), *csr_from_degrees(degrees, ids))


@st.composite
def wellformed_queries(draw, dtype):
    """wellformed_clouds, now and then moved away: a bound then finds the
    query box sticking out of the target's, or farther than the bound."""
    points, indptr, indices = draw(wellformed_clouds(dtype))
    shift = draw(st.sampled_from([0, 0, 3, 9]))
    return (points + dtype(shift) if shift else points), indptr, indices


model_bounds = st.none() | st.floats(0, 4) | st.sampled_from([np.nan, np.inf, 0.0, -1.0])


@st.composite
def modelled_nearest(draw, prec):
    dtype = FLOATS[prec]
    x, y = draw(wellformed_clouds(dtype)), draw(wellformed_clouds(dtype))
    return (lambda: NEAREST[prec](*x, *y)), (lambda: oracle.greedy(*x, *y, dtype=dtype))


@st.composite
def modelled_query(draw, prec, prepared_query):
    dtype = FLOATS[prec]
    x, y = draw(wellformed_queries(dtype)), draw(wellformed_clouds(dtype))
    bound = draw(model_bounds)
    target = PREPARED[prec](*y)
    if prepared_query:
        def got():
            return target.query_prepared(PREPARED[prec](*x), distance_upper_bound=bound)
    else:
        def got():
            return target.query(*x, distance_upper_bound=bound)
    return got, (lambda: oracle.greedy(*x, *y, dtype=dtype, bound=bound))


MODELLED = {
    "all_nearest_neighbours": modelled_nearest("f64"),
    "all_nearest_neighbours_f32": modelled_nearest("f32"),
    "PreparedF64.query": modelled_query("f64", False),
    "PreparedF32.query": modelled_query("f32", False),
    "PreparedF64.query_prepared": modelled_query("f64", True),
    "PreparedF32.query_prepared": modelled_query("f32", True),
}
