"""Slices against numpy: the sums are compared bit for bit with sums made
independently in x order (np.cumsum adds one value after the other)."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vqdatamatrix as vq

DIMS = (5, 4, 3, 2)


def plane_of(data, plane, at):
    """The elements of a plane of a (d1, d2, d3, d4, records, values) array."""
    a, b = at
    index = {"d1d2": (slice(None), slice(None), a, b), "d1d3": (slice(None), a, slice(None), b),
             "d2d3": (a, slice(None), slice(None), b)}[plane]
    return data[index]


def in_order_sums(values):
    return np.cumsum(values, axis=-1)[..., -1]


def filled_matrix(dtype, kind, set_axis):
    data = np.random.default_rng(5).standard_normal(DIMS + (2, 64)).astype(dtype)
    m = vq.Matrix(DIMS, values=64, records=2, dtype=dtype, kind=kind)
    set_axis(m)  # an element keeps the axis it was given first
    for position in np.ndindex(*DIMS):
        m[position] = data[position]
    return m, data


MATRICES = [("float64", "single"), ("float32", "multiple")]


@pytest.fixture(scope="module", params=MATRICES, ids=str)
def filled(request):
    return filled_matrix(*request.param, lambda m: m.set_x_axis(100.0, 0.5, "Hz"))


@pytest.fixture(scope="module", params=MATRICES, ids=str)
def banded(request):
    return filled_matrix(*request.param, lambda m: m.set_band_axis(10, 3))  # bands 10 (10 Hz) to 73


@pytest.mark.parametrize("plane, at", [("d1d2", (2, 1)), ("d1d3", (3, 0)), ("d2d3", (4, 1)), ("d1d2", (-1, -1))])
def test_slices_equal_numpy(filled, banded, plane, at):
    m, data = filled
    elements = plane_of(data, plane, at)
    # 103 Hz to 110.5 Hz are the points 6 to 21.
    assert np.array_equal(m.slice((103.0, 110.5), plane=plane, at=at, record=1), in_order_sums(elements[..., 1, 6:22]))
    assert np.array_equal(m.spectrum_slice(plane=plane, at=at, record=0), elements[..., 0, :])
    m, data = banded  # 100 Hz to 1 kHz are the bands 20 to 30
    bands = plane_of(data, plane, at)[..., 0, 10:21]
    assert np.array_equal(m.slice((100.0, 1000.0), plane=plane, at=at), in_order_sums(bands))


def test_results_are_filled_again_in_place(filled):
    m, data = filled
    result = m.slice((100, 104.5))
    spectra = m.spectrum_slice(record=1)
    assert m.slice((105, 109.5), out=result) is result
    assert m.spectrum_slice(record=0, out=spectra) is spectra
    assert np.array_equal(result, in_order_sums(data[:, :, 0, 0, 0, 10:20]))
    assert np.array_equal(spectra, data[:, :, 0, 0, 0])


def test_slices_from_several_threads(filled):
    m, data = filled
    expected = {at: in_order_sums(plane_of(data, "d1d3", at)[..., 1, :]) for at in np.ndindex(4, 2)}

    def slice_all():
        return [np.array_equal(m.slice((100, 131.5), plane="d1d3", at=at, record=1), sums)
                for at, sums in expected.items()]

    with ThreadPoolExecutor(3) as pool:
        results = [pool.submit(slice_all) for _ in range(3)]
        for position in np.ndindex(*DIMS):  # element access meanwhile
            assert np.array_equal(m.get(position, readonly=True), data[position])
        assert all(all(result.result()) for result in results)
