"""Matrices from Python: round trips through stream files, arrays that show
the elements in place, and refusals of bad input."""
import gc

import numpy as np
import pytest

import vqdatamatrix as vq

DTYPES = ["int32", "float64", "complex128", "int16", "int64", "float32", "complex64"]
KINDS = ["single", "multiple"]


def random_values(rng, shape, dtype):
    values = rng.integers(-1000, 1000, size=shape).astype(dtype)
    if np.dtype(dtype).kind == "c":
        values += 1j * rng.integers(-1000, 1000, size=shape)
    if np.dtype(dtype).kind in "fc":
        values /= 7  # fractions that are not exact in binary
    return values


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_stream_file_round_trip(tmp_path, dtype, kind):
    rng = np.random.default_rng(DTYPES.index(dtype))
    data = random_values(rng, (3, 2, 2, 1, 2, 5), dtype)
    m = vq.Matrix((3, 2, 2), values=5, records=2, dtype=dtype, kind=kind)
    for position in np.ndindex(*m.dims):
        m[position] = data[position]
    m.label = "run-up 7 \u00b5s"
    m.set_axis(0, 1000.0, 250.0, "rpm")
    m.set_element_id((2, 1, 0), 42)
    m.set_element_label((2, 1, 0), "channel 2, \u00e4")
    attributes = {"Measurement": {"Object": "gearbox", "Averages": 8, "Gain": 1.5, "Big": 2**40, "On": True}}
    m.set_attributes((1, 0, 1), attributes)
    m.set_record_attributes((1, 0, 1), {1: {"Run": {"rpm": 1250.0}}})

    m.save(str(tmp_path / "m.vqdm"))
    n = vq.open(str(tmp_path / "m.vqdm"))

    assert (n.dims, n.shape, n.dtype) == ((3, 2, 2, 1), (3, 2, 2, 1, 2, 5), np.dtype(dtype))
    for position in np.ndindex(*n.dims):
        assert np.array_equal(n[position], data[position])
    assert n.label == "run-up 7 \u00b5s"
    assert (n.axis(0).first, n.axis(0).delta, n.axis(0).unit) == (1000.0, 250.0, "rpm")
    assert n.position_of(42) == (2, 1, 0, 0) and n.element_label((2, 1, 0)) == "channel 2, \u00e4"
    assert n.attributes((1, 0, 1)) == attributes and n.attributes((0, 0, 0)) == {}
    assert n.record_attributes((1, 0, 1)) == {1: {"Run": {"rpm": 1250.0}}}


@pytest.mark.parametrize("kind", KINDS)
def test_element_arrays_show_the_matrix_values_in_place(tmp_path, kind):
    m = vq.Matrix((4, 3), values=8, records=2, kind=kind)
    view = m[2, 1]
    view[1, :] = np.arange(8.0)
    reading = m.get((2, 1), readonly=True)
    assert np.shares_memory(view, reading) and np.shares_memory(view, m[-2, -2])
    assert np.array_equal(reading[1], np.arange(8.0)) and not reading.flags.writeable
    with pytest.raises(ValueError):
        reading[0, 0] = 1.0
    m.save(str(tmp_path / "m.vqdm"))  # through the library's own Write
    assert np.array_equal(vq.open(str(tmp_path / "m.vqdm"))[2, 1][1], np.arange(8.0))

    m[2, 1] = np.full((2, 8), 3.0)
    assert np.all(view == 3.0)  # a put writes into the same buffer
    del m
    gc.collect()
    view += 1.0  # the array keeps its item alive after the matrix is gone
    assert np.all(view == 4.0) and np.all(reading == 4.0)


def test_copy_to_single_is_indexed_like_the_matrix():
    m = vq.Matrix((3, 2, 2, 2), values=4, records=3, dtype="float32")
    data = random_values(np.random.default_rng(1), (3, 2, 2, 2, 3, 4), "float32")
    for position in np.ndindex(*m.dims):
        m[position] = data[position]
    assert np.array_equal(m.copy_to_single(), data)


def test_x_axes():
    m = vq.Matrix((2,), values=31)
    m.set_x_axis(20.0, 2.5, "Hz")
    assert np.array_equal(m.x_axis.values, 20.0 + 2.5 * np.arange(31))
    m.set_band_axis(13, 3)
    axis = m.x_axis
    assert (axis.kind, axis.size, axis.first_band, axis.fraction, axis.unit) == ("bands", 31, 13, 3, "Hz")
    assert np.allclose(axis.values, 10 ** (0.1 * np.arange(13, 44)))


def refusal(call, exception, words):
    return pytest.param(call, exception, words, id=words)


M = vq.Matrix((4, 3), values=8, records=2)
M.set_x_axis(0.0, 1.0)
E = vq.Matrix((4, 3), values=12)  # an element holds as many values as a slice gives
E.set_x_axis(0.0, 1.0)


@pytest.mark.parametrize(
    "call, exception, words",
    [
        refusal(lambda: M[4, 0], IndexError, "out of bounds for d1 of size 4"),
        refusal(lambda: M[0, -4], IndexError, "out of bounds for d2 of size 3"),
        refusal(lambda: M[1], IndexError, "dimension d2 has size 3"),
        refusal(lambda: M[0, 0, 0, 0, 0], IndexError, "one to four indices"),
        refusal(lambda: M[0.5, 0], TypeError, "integer"),
        refusal(lambda: M[2**80, 0], OverflowError, "too big"),
        refusal(lambda: M.__setitem__((0, 0), np.zeros((2, 8), np.float32)), TypeError, "holds float64"),
        refusal(lambda: M.__setitem__((0, 0), np.zeros((8, 2))), ValueError, "(2, 8)"),
        refusal(lambda: M.__setitem__((0, 0), "values"), ValueError, "could not convert"),
        refusal(lambda: M.slice((2, 5), out=np.zeros((4, 3))), ValueError, "earlier result"),
        refusal(lambda: M.slice((2, 5), out=M.slice((2, 5), plane="d1d3")), ValueError, "earlier result"),
        refusal(lambda: E.slice((2, 5), out=E[0, 0].reshape(4, 3)), ValueError, "earlier result"),
        refusal(lambda: M.slice((2, 5), plane="d3d4"), ValueError, "plane is"),
        refusal(lambda: M.slice((2, 5), at=(1, 0)), IndexError, "d3 of size 1"),
        refusal(lambda: M.slice((30, 20)), vq.Error, "The x-range is reversed: from 30 down to 20"),
        refusal(lambda: M.slice((2, 5), record=-1), vq.Error, "Record Z = -1 does not exist"),
        refusal(lambda: M.position_of(7), KeyError, "no element has the identifier 7"),
        refusal(lambda: M.set_attributes((0, 0), {"G": {"a": [1]}}), TypeError, "not list"),
        refusal(lambda: M.set_record_attributes((0, 0), {2: {"G": {"a": 1}}}), IndexError, "record 2"),
        refusal(lambda: M.axis(4), IndexError, "axis is 0 (d1) to 3 (d4)"),
        refusal(lambda: vq.Matrix((0, 2), 4), vq.Error, "are not all at least 1"),
        refusal(lambda: vq.Matrix((2, 2), 4, dtype="uint8"), TypeError, "no value format holds uint8"),
        refusal(lambda: vq.Matrix((2, 2), 4, kind="packed"), ValueError, "kind is"),
        refusal(lambda: vq.open("/nonexistent/m.vqdm"), vq.Error, "cannot open /nonexistent/m.vqdm"),
        refusal(lambda: vq.set_memory_budget("lots"), ValueError, "not \"lots\""),
    ],
)
def test_bad_input_is_refused(call, exception, words):
    with pytest.raises(exception) as raised:
        call()
    assert words in str(raised.value)


def test_library_failures_carry_hresult_and_description(tmp_path):
    (tmp_path / "garbage").write_bytes(b"\x01" * 64)
    with pytest.raises(vq.Error) as raised:
        vq.open(str(tmp_path / "garbage"))
    assert raised.value.hresult == 0x8007000D  # ERROR_INVALID_DATA
    assert raised.value.description.startswith("The stream cannot be read:")
    assert isinstance(raised.value, RuntimeError)
