"""Checks shared by the tests of every stateful class.

Each takes small callables instead of a class, so one helper serves FIR filters,
tracking loops and receivers alike:

``make()``        a fresh object, always built with the same parameters
``run(obj, x)``   feed one block, return the produced array (or a tuple of arrays)
"""

import struct

import numpy as np
import pytest

HEADER_FIELDS = {"magic": 0, "version": 4, "format": 6, "size": 8}


def random_cuts(n, rng, max_parts=8):
    """Sorted cut points splitting range(n) into at most `max_parts` blocks (some empty)."""
    k = int(rng.integers(1, max_parts))
    return sorted(int(c) for c in rng.integers(0, n + 1, size=k))


def _concat(outs):
    if isinstance(outs[0], tuple):
        return tuple(np.concatenate([o[i] for o in outs]) for i in range(len(outs[0])))
    return np.concatenate(outs)


def _assert_identical(a, b, what):
    if isinstance(a, tuple):
        for i, (p, q) in enumerate(zip(a, b)):
            _assert_identical(p, q, f"{what}[{i}]")
        return
    assert a.dtype == b.dtype, what
    assert a.shape == b.shape, f"{what}: {a.shape} != {b.shape}"
    # Bit-exact: compare the raw bytes so NaNs and signed zeros count too.
    assert a.tobytes() == b.tobytes(), f"{what}: outputs differ"


def run_split(make, run, x, cuts):
    obj = make()
    edges = [0, *cuts, len(x)]
    outs = [run(obj, x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
    return _concat(outs), obj


def assert_split_invariant(make, run, x, seed=0, trials=6, cuts=None):
    """Any split of `x` into blocks gives bit-identical output to one block."""
    rng = np.random.default_rng(seed)
    whole, _ = run_split(make, run, x, [])
    splits = [cuts] if cuts is not None else []
    splits += [random_cuts(len(x), rng) for _ in range(trials)]
    splits.append(list(range(1, len(x))))  # one item at a time
    for c in splits:
        got, _ = run_split(make, run, x, c)
        _assert_identical(whole, got, f"split at {c[:10]}")
    return whole


def assert_state_roundtrip(make, run, x, cut=None):
    """Save after x[:cut]; the original and a fresh object restored from the blob give
    identical outputs for x[cut:]."""
    cut = len(x) // 3 if cut is None else cut
    a = make()
    run(a, x[:cut])
    blob = a.get_state()
    assert isinstance(blob, bytes) and len(blob) == a.state_bytes()
    b = make()
    b.set_state(blob)
    assert b.get_state() == blob
    _assert_identical(run(a, x[cut:]), run(b, x[cut:]), "after restore")
    return blob


def assert_header_rules(obj, other_blob=None):
    """A blob with magic, version, format byte or size altered is rejected and leaves the
    object unchanged; bytes 7 and 12..15 are not checked. `other_blob`, a blob of
    another class with the same length, is rejected too."""
    good = obj.get_state()
    for name, at in HEADER_FIELDS.items():
        bad = bytearray(good)
        bad[at] ^= 0x01
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            obj.set_state(bytes(bad))
        assert obj.get_state() == good, f"object changed by a blob with bad {name}"
    loose = bytearray(good)
    loose[7] = 0x5A
    loose[12:16] = b"\xde\xad\xbe\xef"
    obj.set_state(bytes(loose))
    assert obj.get_state() == good
    for not_bytes in (bytearray(good), None, memoryview(good)):
        with pytest.raises(TypeError, match="^set_state expects bytes$"):
            obj.set_state(not_bytes)
    with pytest.raises(ValueError, match="state blob size mismatch"):
        obj.set_state(good[:-1])
    if other_blob is not None and len(other_blob) == len(good):
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            obj.set_state(other_blob)


def assert_lifecycle(make, calls=()):
    """`with` binds the instance itself; afterwards every property and every call in
    `calls` (name, args) raises RuntimeError("destroyed"); destroy stays idempotent."""
    obj = make()
    with obj as bound:
        assert bound is obj
    cls = type(obj)
    props = [n for n in dir(cls) if isinstance(getattr(cls, n, None), property)]
    for name in props:
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(obj, name)
    noarg = [n for n in ("reset", "state_bytes", "get_state") if hasattr(cls, n)]
    for name, args in [(n, ()) for n in noarg] + list(calls):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(obj, name)(*args)
    obj.destroy()
    obj.destroy()
    assert obj.__enter__() is obj
    assert obj.__exit__(None, None, None) is None
    with pytest.raises(AttributeError):
        obj.anything_else = 1  # no instance dictionary
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})  # final


def run_doctests(module, min_examples=1):
    """Run every docstring example of an extension module: its classes, methods and
    properties, and its module functions (nanobind functions, which doctest's finder
    does not treat as routines, are collected explicitly)."""
    import doctest

    finder = doctest.DocTestFinder()
    tests = finder.find(module)
    for name, obj in vars(module).items():
        if type(obj).__name__ == "nb_func" and obj.__doc__:
            tests += finder.find(obj, f"{module.__name__}.{name}", module=False, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for t in tests:
        runner.run(t)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} docstring examples failed"
    assert result.attempted >= min_examples
    return result


def assert_rejects_fields(obj, fields):
    """A blob with any one (offset, format, value) payload field changed is refused and
    leaves the object as it was."""
    good = obj.get_state()
    for at, fmt, value in fields:
        bad = bytearray(good)
        struct.pack_into(fmt, bad, at + 16, value)
        with pytest.raises(ValueError, match="set_state rejected the blob"):
            obj.set_state(bytes(bad))
        assert obj.get_state() == good, (at, value)
