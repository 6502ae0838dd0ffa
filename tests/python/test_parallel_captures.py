"""examples/parallel_captures.py: Dask over captures, and slices carrying a pickled chain,
give what one process gives, bit for bit."""

import multiprocessing
import pathlib
import sys

import numpy as np
import pytest

pytest.importorskip("dask.bag")
sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "examples"))  # children import it too
import parallel_captures as pc  # noqa: E402


def same(a, b):
    assert a.keys() == b.keys()
    for k in a:
        assert np.array_equal(a[k], b[k]) if k == "psd_db" else a[k] == b[k], k


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    paths = pc.write_demo_captures(tmp_path_factory.mktemp("captures"), count=3, n_symbols=1500)
    return paths, [pc.process_capture(p) for p in paths]


def test_captures_decode(captures):
    _, single = captures
    assert all(s["locked"] and s["symbols"] > 1400 for s in single)
    assert len({s["digest"] for s in single}) == 3


def test_dask_map_equals_one_process(captures):
    paths, single = captures
    for got, want in zip(pc.map_captures(paths, scheduler="processes"), single):
        same(got, want)


def test_multiprocessing_pool_equals_one_process(captures):
    paths, single = captures
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        for got, want in zip(pool.map(pc.process_capture, paths), single):
            same(got, want)


@pytest.mark.parametrize("n_slices, scheduler", [(7, "processes"), (1, "sync"), (4, "threads")])
def test_slices_carrying_the_pickled_chain_equal_one_process(captures, n_slices, scheduler):
    paths, single = captures
    same(pc.process_in_slices(paths[1], n_slices, scheduler=scheduler), single[1])
