"""Element access and slices from Python, against the same numpy operation
on an in-memory array and against the library's own figure for the slice
(the same call made in C++, `Matrix._time_native_slices`, in the same run).

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py

Build the module with the release preset first (cmake --build --preset
release --target vqdatamatrix). Times are wall-clock medians of five runs.
"""
import statistics
import time

import numpy as np

import vqdatamatrix as vq


def per_call(call, repeats):
    runs = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeats):
            call()
        runs.append((time.perf_counter() - start) / repeats)
    return statistics.median(runs)


def element_access():
    m = vq.Matrix((20, 2), values=1024)
    a = np.zeros((20, 2, 1, 1, 1, 1024))
    print("element access (20 x 2 elements of 1024 float64)")
    for name, call in [("m[3, 1] (view of the element)", lambda: m[3, 1]),
                       ("m.get((3, 1), readonly=True)", lambda: m.get((3, 1), readonly=True)),
                       ("numpy a[3, 1, 0, 0] (view)", lambda: a[3, 1, 0, 0])]:
        print(f"  {name:34s} {per_call(call, 20000) * 1e6:8.3f} us")


def slices(kind):
    n, values = 32, 8192  # 64 MiB, as the C++ slice benchmark's plane
    m = vq.Matrix((n, n), values=values, kind=kind)
    m.set_x_axis(0.0, 1.0)
    data = np.random.default_rng(1).standard_normal((n, n, values))
    for d2 in range(n):
        for d1 in range(n):
            m[d1, d2] = data[d1, d2]
    print(f"slices, {kind}-object kind, {n} x {n} elements of {values} float64 (64 MiB)")
    for length in (1024, 8192):
        result = m.slice((0, length - 1))
        python = per_call(lambda: m.slice((0, length - 1), out=result), 10)
        native = m._time_native_slices(10, (0, length - 1), "d1d2", (0, 0), 0, False)
        numpy = per_call(lambda: data[:, :, :length].sum(axis=-1), 10)
        rate = n * n * length * 8 / python / 1e9
        print(f"  slice of {length:5d} values: python {python * 1e3:7.3f} ms ({rate:5.1f} GB/s), "
              f"C++ {native * 1e3:7.3f} ms, numpy sum {numpy * 1e3:7.3f} ms; python / C++ rate {native / python:.2f}")
    spectra = m.spectrum_slice()
    python = per_call(lambda: m.spectrum_slice(out=spectra), 10)
    fresh = per_call(lambda: m.spectrum_slice(), 5)
    native = m._time_native_slices(10, (0, 0), "d1d2", (0, 0), 0, True)
    target = np.empty_like(data)
    numpy = per_call(lambda: np.copyto(target, data), 10)
    print(f"  spectrum slice: python {python * 1e3:7.3f} ms (new result each call {fresh * 1e3:7.3f} ms), "
          f"C++ {native * 1e3:7.3f} ms, numpy copy {numpy * 1e3:7.3f} ms; python / C++ rate {native / python:.2f}")


if __name__ == "__main__":
    element_access()
    slices("single")
    slices("multiple")
