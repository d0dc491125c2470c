"""Hypothesis strategies for the blocked searches: the prepared classes'
query_prepared_blocked and query_grouped, and the grouped classes' prepare
(with their properties), in the form of fuzz_strategies (one `HOSTILE` and
one `MODELLED` table).

Grouped sets are built from prepared clouds whose graphs may be malformed
(only their points matter to the set), the target among them now and then,
with query perms that are often no permutations: repeats, values out of
range or negative, too short or longer than the cloud. The finalized result
of query_grouped is predicted exactly: the raw result (finalize=False) is
checked on its own, then mapped by `finalize_model` to the expected arrays
or the expected failure.
"""

import functools
import operator
from dataclasses import dataclass

import numpy as np
from hypothesis import strategies as st

import _tevu
import oracle
from conftest import PanicException
from fuzz_strategies import (BAD_OBJECTS, FLOATS, INDEX_DTYPE, OTHER_PRECISION, PREPARED, Arg,
                             Call, bound_value, bounds, check_nearest, check_pair,
                             cloud_may_overflow, ignore, may_overflow, model_bounds, nearest_check, others, passing, prepared, sizes,
                             wellformed_clouds, wellformed_queries)
from test_morton import model_keys

GROUPED = {"f64": _tevu.GroupedQueriesF64, "f32": _tevu.GroupedQueriesF32}
# The largest block whose scratch arrays (8-byte entries) can exist.
CAPACITY_LIMIT = (2**63 - 1) // 8


def index_message(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def blocks():
    return sizes("block", st.integers(0, 9),
                 large=(2**40, CAPACITY_LIMIT, CAPACITY_LIMIT + 1, 2**64 - 1))


def reaches_blocks(n, target, query, bound, dtype):
    """Whether a blocked descent of n query points gets as far as sizing its
    blocks: it answers an empty target, and a query box farther than the
    bound from the target box, at once."""
    if n == 0 or len(target) == 0:
        return False
    if bound is None:
        return True
    with np.errstate(all="ignore"):
        b = dtype(bound)
        gap2 = oracle.box_gap2(oracle.box_of(target, dtype), oracle.box_of(query, dtype), dtype)
        return not gap2 > b * b


def value_or(arg, call, default):
    return default if arg.name in call.omit else arg.value


# ---------------------------------------------------------------------------
# query_prepared_blocked

@st.composite
def blocked_calls(draw, prec):
    dtype = FLOATS[prec]
    target = draw(prepared(prec))
    other, query = draw(others(prec, target))
    block, bound = draw(blocks()), draw(bounds())
    for arg in (block, bound):
        arg.optional = True
    call = draw(passing(Call(target.instance.query_prepared_blocked, [other, block, bound],
                             check=ignore)))
    if call.conversion_error() is None:
        b = bound_value(bound, call)
        n = query.n_vertices()
        if n < 0:
            call.panic, call.message = True, "capacity overflow"
        elif operator.index(value_or(block, call, 8)) > CAPACITY_LIMIT:
            call.panic = reaches_blocks(n, target.instance.data, other.value.data, b, dtype)
            call.message = "capacity overflow" if call.panic else None
        call.check = nearest_check(query, target.instance.data, dtype, b, target.cloud.graph())
        call.overflow = cloud_may_overflow(query, target.instance.data, dtype)
    return call


# ---------------------------------------------------------------------------
# Grouped sets and query_grouped

@st.composite
def perm_arrays(draw, size):
    """None, a permutation of range(size) as int64, or int64 values that are
    not one."""
    kind = draw(st.sampled_from(["None"] * 2 + ["perm"] * 4 + ["repeat", "out of range",
                                                              "negative", "short", "long"]))
    if kind == "None":
        return None
    perm = draw(st.permutations(range(size)))
    at = st.integers(0, max(size - 1, 0))
    if kind == "repeat" and size >= 2:
        i, j = draw(at), draw(at)
        perm[i] = perm[j]
    elif kind == "out of range" and size:
        perm[draw(at)] = size + draw(st.integers(0, 2))
    elif kind == "negative" and size:
        perm[draw(at)] = draw(st.sampled_from([-1, -2**63]))
    elif kind == "short" and size:
        perm = perm[:draw(at)]
    elif kind == "long":
        perm = perm + draw(st.lists(st.integers(-2, size + 2), min_size=1, max_size=3))
    return np.array(perm, np.int64)


@dataclass
class GroupedContent:
    """A grouped set with what it was built from."""
    set: object
    points: np.ndarray  # the members' points, concatenated
    perms: list         # the query perms as given

    def sorted_points(self):
        return self.points[self.set.perm]


@st.composite
def grouped_sets(draw, prec, target):
    """A grouped set of 0-3 prepared clouds, the target now and then among
    them, with query perms for some of them (and now and then one more)."""
    members = [target.instance if draw(st.integers(0, 3)) == 0 else draw(prepared(prec)).instance
               for _ in range(draw(st.integers(0, 3)))]
    perms = [draw(perm_arrays(m.n)) for m in members]
    perms = perms[:draw(st.integers(0, len(perms)))]
    perms += draw(st.lists(st.integers(0, 4).flatmap(perm_arrays), max_size=1))
    points = np.concatenate([m.data for m in members] + [np.zeros((0, 3), FLOATS[prec])])
    return GroupedContent(GROUPED[prec].prepare(members, perms), points, perms)


@st.composite
def grouped_args(draw, prec, target):
    """The `grouped` argument: mostly a set of this precision, else
    something that is not."""
    kind = draw(st.sampled_from(["set"] * 6 + ["other precision", "prepared", "class",
                                               "object"]))
    if kind == "set":
        content = draw(grouped_sets(prec, target))
        return Arg("grouped", content.set), content
    if kind == "other precision":
        value = GROUPED[OTHER_PRECISION[prec]].prepare([], [])
    elif kind == "prepared":
        value = target.instance
    elif kind == "class":
        value = GROUPED[prec]
    else:
        value = draw(st.sampled_from(BAD_OBJECTS))
    return Arg("grouped", value, TypeError), None


@st.composite
def target_perms(draw, ny):
    kind = draw(st.sampled_from(["None"] * 3 + ["perm"] * 3 + ["not a perm", "strided",
                                                              "wrong"]))
    if kind == "None":
        return Arg("target_perm", None)
    perm = np.array(draw(st.permutations(range(ny))), np.int64)
    if kind == "perm":
        return Arg("target_perm", perm)
    if kind == "not a perm":
        other = draw(perm_arrays(ny))
        return Arg("target_perm", perm if other is None else other)
    if kind == "strided":
        strided = np.repeat(perm, 2)[::2]
        if len(perm) < 2:  # too short for its stride to matter
            return Arg("target_perm", strided)
        return Arg("target_perm", strided, PanicException, "contiguous target perm")
    wrong = draw(st.sampled_from([perm.astype(np.int32), perm.astype(np.uint64), perm[None],
                                  perm.tolist(), "0", 1.5]))
    return Arg("target_perm", wrong, TypeError)


@st.composite
def finalizes(draw):
    kind = draw(st.sampled_from(["bool"] * 6 + ["numpy", "not a bool"]))
    if kind == "bool":
        return Arg("finalize", draw(st.booleans()), optional=True)
    if kind == "numpy":
        return Arg("finalize", np.bool_(draw(st.booleans())), optional=True)
    value = draw(st.sampled_from([0, 1, np.int64(1), None, "True", 1.0, np.array(True)]))
    return Arg("finalize", value, TypeError, optional=True)


def finalize_model(raw, content, target_perm, ny):
    """The finalized answers to the raw ones, or the failure's message."""
    raw_d, raw_i = raw
    perm, offsets = content.set.perm, content.set.offsets
    concat_d, concat_i = np.empty_like(raw_d), np.empty_like(raw_i)
    concat_d[perm], concat_i[perm] = raw_d, raw_i
    out_d, out_i = np.zeros_like(raw_d), np.zeros_like(raw_i)
    for c in range(len(offsets) - 1):
        start, size = int(offsets[c]), int(offsets[c + 1] - offsets[c])
        p = content.perms[c] if c < len(content.perms) else None
        taken = set()
        for i in range(size):
            t = i
            if p is not None:
                if i >= len(p):
                    return index_message(len(p), i)
                t = int(p[i]) % 2**64
                if t >= size:
                    return index_message(size, t)
                if t in taken:
                    return f"query perm of cloud {c} repeats the index {t}"
                taken.add(t)
            r = int(concat_i[start + i])
            if r >= ny:  # a miss keeps the miss marker
                r = ny
            elif target_perm is not None:
                if r >= len(target_perm):
                    return index_message(len(target_perm), r)
                r = int(target_perm[r]) % 2**64
            out_d[start + t], out_i[start + t] = concat_d[start + i], r
    return out_d, out_i


def check_equal(result, *, want, dtype):
    dist, idx = check_pair(result, want[0].shape, dtype)
    np.testing.assert_array_equal(dist, want[0])
    np.testing.assert_array_equal(idx, want[1])


def expect_grouped(call, target, content, target_perm, block, bound, finalize, dtype):
    """Sets what query_grouped must do, from its raw answers (the same call
    with finalize=False and no target perm), which are checked here."""
    instance = target.instance
    n = content.set.n_points
    too_large = block > CAPACITY_LIMIT and reaches_blocks(n, instance.data, content.points,
                                                          bound, dtype)
    try:
        raw = instance.query_grouped(content.set, None, block, bound, finalize=False)
    except PanicException as exc:
        assert not too_large or exc.args == ("capacity overflow",), exc
        call.panic, call.message = True, exc.args[0]
        return
    except ValueError as exc:
        assert exc.args == (oracle.OVERFLOW,), exc
        assert may_overflow(content.sorted_points(), instance.data, dtype)
        call.overflow = True
        return
    assert not too_large, "a block too large for its scratch arrays was accepted"
    check_nearest(raw, n=n, dtype=dtype, query=content.sorted_points(), target=instance.data,
                  bound=bound, graph=target.cloud.graph())
    want = finalize_model(raw, content, target_perm, instance.n) if finalize else raw
    if isinstance(want, str):
        call.panic, call.message = True, want
    else:
        call.panic = False
        call.check = functools.partial(check_equal, want=want, dtype=dtype)


@st.composite
def query_grouped_calls(draw, prec):
    dtype = FLOATS[prec]
    target = draw(prepared(prec))
    grouped, content = draw(grouped_args(prec, target))
    target_perm = draw(target_perms(target.instance.n))
    block, bound, finalize = draw(blocks()), draw(bounds()), draw(finalizes())
    block.optional = True
    call = draw(passing(Call(target.instance.query_grouped,
                             [grouped, target_perm, block, bound, finalize], check=ignore)))
    if call.conversion_error() is None:
        expect_grouped(call, target, content, target_perm.value,
                       operator.index(value_or(block, call, 32)), bound_value(bound, call),
                       bool(value_or(finalize, call, True)), dtype)
    return call


# ---------------------------------------------------------------------------
# GroupedQueries*.prepare

NOT_SEQUENCES = [3, None, object(), 1.5, {"a": 1}, {1, 2}]


@st.composite
def query_sequences(draw, prec, instances):
    """The `queries` argument: the instances as a list, tuple or object
    array, else with one element of another kind, a str or no sequence."""
    kind = draw(st.sampled_from(["list"] * 4 + ["tuple", "array", "wrong element", "str",
                                                "not a sequence"]))
    if kind == "list":
        return Arg("queries", list(instances))
    if kind == "tuple":
        return Arg("queries", tuple(instances))
    if kind == "array":
        array = np.empty(len(instances), object)
        array[:] = instances
        return Arg("queries", array)
    if kind == "wrong element":
        wrong = draw(st.sampled_from(["other precision", "grouped", "array", "None"]))
        element = {"other precision": lambda: draw(prepared(OTHER_PRECISION[prec])).instance,
                   "grouped": lambda: GROUPED[prec].prepare([], []),
                   "array": lambda: np.zeros((1, 3), FLOATS[prec]),
                   "None": lambda: None}[wrong]()
        at = draw(st.integers(0, len(instances)))
        return Arg("queries", list(instances[:at]) + [element] + list(instances[at:]), TypeError)
    if kind == "str":
        return Arg("queries", draw(st.sampled_from(["", "ab"])), TypeError)
    return Arg("queries", draw(st.sampled_from(NOT_SEQUENCES)), TypeError)


@st.composite
def perm_sequences(draw, sizes):
    """The `query_perms` argument: perms (or None) for some of the clouds,
    as a list, tuple or 2-D array, else with one element of another kind or
    a strided one, a str or no sequence."""
    perms = [draw(perm_arrays(size)) for size in sizes]
    perms = perms[:draw(st.integers(0, len(perms)))]
    perms += draw(st.lists(st.integers(0, 4).flatmap(perm_arrays), max_size=1))
    kind = draw(st.sampled_from(["list"] * 4 + ["tuple", "rows", "wrong element", "strided",
                                                "str", "not a sequence"]))
    if kind == "list":
        return Arg("query_perms", perms)
    if kind == "tuple":
        return Arg("query_perms", tuple(perms))
    if kind == "rows":  # a sequence of contiguous 1-D int64 rows
        rows, cols = draw(st.integers(0, 3)), draw(st.integers(0, 4))
        values = draw(st.lists(st.integers(-1, 5), min_size=rows * cols, max_size=rows * cols))
        return Arg("query_perms", np.array(values, np.int64).reshape(rows, cols))
    at = draw(st.integers(0, len(perms)))
    if kind == "wrong element":
        element = draw(st.sampled_from([np.arange(3, dtype=np.int32), np.zeros((2, 2), np.int64),
                                        [0, 1], 1.5, np.int64(0)]))
        return Arg("query_perms", perms[:at] + [element] + perms[at:], TypeError)
    if kind == "strided":
        element = np.arange(6, dtype=np.int64)[::2]
        return Arg("query_perms", perms[:at] + [element] + perms[at:], PanicException,
                   "contiguous perm")
    if kind == "str":
        return Arg("query_perms", "ab", TypeError)
    return Arg("query_perms", draw(st.sampled_from(NOT_SEQUENCES)), TypeError)


def check_grouped(result, *, cls, points):
    """A new set of the clouds with these points: counts, repr, offsets, and
    a perm that is a permutation in ascending Morton keys."""
    assert type(result) is cls
    sizes = [len(p) for p in points]
    total = sum(sizes)
    assert (result.n_clouds, result.n_points) == (len(points), total)
    assert repr(result) == f"{cls.__name__}(n_clouds={len(points)}, n_points={total})"
    offsets, perm = result.offsets, result.perm
    for array, length in ((offsets, len(points) + 1), (perm, total)):
        assert type(array) is np.ndarray and array.shape == (length,)
        assert array.dtype == INDEX_DTYPE and array.flags.c_contiguous and array.flags.writeable
    assert offsets.tolist() == np.cumsum([0] + sizes).tolist()
    assert sorted(perm.tolist()) == list(range(total))
    if total:
        keys = model_keys(np.concatenate(points).astype(np.float64))[perm]
        assert np.all(keys[:-1] <= keys[1:])


@st.composite
def prepare_calls(draw, prec):
    instances = [draw(prepared(prec)).instance for _ in range(draw(st.integers(0, 3)))]
    queries = draw(query_sequences(prec, instances))
    query_perms = draw(perm_sequences([i.n for i in instances]))
    cls = GROUPED[prec]
    call = draw(passing(Call(cls.prepare, [queries, query_perms], check=ignore)))
    if call.conversion_error() is None:
        call.panic = False
        call.check = functools.partial(check_grouped, cls=cls, points=[i.data for i in instances])
    return call


HOSTILE = {
    "PreparedF64.query_prepared_blocked": blocked_calls("f64"),
    "PreparedF32.query_prepared_blocked": blocked_calls("f32"),
    "PreparedF64.query_grouped": query_grouped_calls("f64"),
    "PreparedF32.query_grouped": query_grouped_calls("f32"),
    "GroupedQueriesF64.prepare": prepare_calls("f64"),
    "GroupedQueriesF32.prepare": prepare_calls("f32"),
}


# ---------------------------------------------------------------------------
# Well-formed graphs, compared with the Python model of the blocked descent

@st.composite
def modelled_blocked(draw, prec):
    dtype = FLOATS[prec]
    x, y = draw(wellformed_queries(dtype)), draw(wellformed_clouds(dtype))
    block, bound = draw(st.integers(0, 9)), draw(model_bounds)
    target, query = PREPARED[prec](*y), PREPARED[prec](*x)

    def want():
        return oracle.blocked(x[0], len(x[0]), *y, block, dtype, bound,
                              query_box=oracle.box_of(x[0], dtype))
    return (lambda: target.query_prepared_blocked(query, block, bound)), want


@st.composite
def modelled_grouped(draw, prec):
    """Finalized answers with valid perms: the model's blocked descent of
    the sorted points, mapped by finalize_model."""
    dtype = FLOATS[prec]
    y = draw(wellformed_clouds(dtype))
    xs = draw(st.lists(wellformed_queries(dtype), min_size=1, max_size=3))
    perms = [draw(st.none() | st.permutations(range(len(x[0]))).map(
        lambda p: np.array(p, np.int64))) for x in xs]
    target_perm = draw(st.none() | st.permutations(range(len(y[0]))).map(
        lambda p: np.array(p, np.int64)))
    block, bound = draw(st.integers(0, 9)), draw(model_bounds)
    target = PREPARED[prec](*y)
    grouped = GROUPED[prec].prepare([PREPARED[prec](*x) for x in xs], perms)
    content = GroupedContent(grouped, np.concatenate([x[0] for x in xs]), perms)

    def want():
        raw = oracle.blocked(content.sorted_points(), grouped.n_points, *y, block, dtype, bound)
        return finalize_model(raw, content, target_perm, len(y[0]))
    return (lambda: target.query_grouped(grouped, target_perm, block, bound)), want


MODELLED = {
    "PreparedF64.query_prepared_blocked": modelled_blocked("f64"),
    "PreparedF32.query_prepared_blocked": modelled_blocked("f32"),
    "PreparedF64.query_grouped": modelled_grouped("f64"),
    "PreparedF32.query_grouped": modelled_grouped("f32"),
}
