"""vqdm export --netcdf and vqdm import as xarray sees them.

Run by ctest with /usr/bin/python3 (Debian's xarray, netCDF4, numpy, dask):
  netcdf_test.py VQDM WORKDIR
1. The demo's small run-up (float64 spectra, and 1/3-octave bands) exported to
   netCDF and opened with xarray: every value against the CSV export of the same
   matrix, dimensions, coordinates, units, identifiers, labels, attributes, and a
   dask open chunked by element; export -> import -> export gives the same file.
2. Every value format: a file of the layout with values from a formula is
   imported, exported again and checked against the formula.
3. Bad inputs: one line "vqdm: ...", exit code 1 or 2, never a signal.
"""
import csv
import os
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import xarray as xr

VQDM, WORK = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def vqdm(*args):
    return subprocess.run([VQDM, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL)


def ok(*args):
    r = vqdm(*args)
    if r.returncode != 0:
        sys.exit(f"vqdm {' '.join(args)}: exit {r.returncode}\n{r.stderr}")
    return r


def path(name):
    return os.path.join(WORK, name)


def demo_files():
    ok("demo", "--speeds", "6", "--channels", "2", "--runs", "2", "--lines", "1024", "--memory-budget", "0",
       "--no-progress", "--out", WORK)
    for stem, xs, x_kind in (("runup", 1024, "linear"), ("runup-octave", 31, "bands")):
        nc, table = path(stem + ".nc"), path(stem + ".csv")
        ok("export", path(stem + ".vqdm"), "--netcdf", nc)
        ok("export", path(stem + ".vqdm"), "--all", "--csv", table)
        with xr.open_dataset(nc) as ds:
            check(dict(ds.sizes) == {"d1": 6, "d2": 2, "d3": 2, "d4": 1, "records": 1, "x": xs}, f"{stem} sizes")
            check(np.array_equal(ds.d1.values, 600 + 1000 * np.arange(6)), f"{stem} d1 {ds.d1.values}")
            check(np.array_equal(ds.d2.values, [1, 2]) and ds.d2.units == "channel", f"{stem} d2")
            check(ds.d1.units == "rpm" and ds.x.units == "Hz" and ds.x.axis_kind == x_kind, f"{stem} units")
            check(ds.attrs["value_format"] == "float64" and ds.attrs["label"].startswith("Run-up"), f"{stem} globals")
            check(ds.value.attrs.get("Analysis.Averages") == 8, f"{stem} Averages {ds.value.attrs}")
            check(ds.value.attrs.get("Measurement.Object") == "gearbox test rig", f"{stem} Object")
            with open(table, newline="") as f:
                rows = list(csv.reader(f))
            check(np.allclose(ds.x.values, [float(v) for v in rows[0][6:]], rtol=1e-9, atol=0), f"{stem} x values")
            check(len(rows) == 1 + 24, f"{stem} CSV rows")
            for row in rows[1:]:
                d1, d2, d3, d4, ident = (int(v) for v in row[:5])
                at = dict(d1=d1, d2=d2, d3=d3, d4=d4)
                check(np.array_equal(ds.value.isel(records=0, **at).values, [float(v) for v in row[6:]]),
                      f"{stem} values at {at}")
                check(int(ds.id.isel(**at)) == ident and str(ds.label.isel(**at).values) == row[5], f"{stem} id at {at}")
        with xr.open_dataset(nc, chunks=dict(d1=1, d2=1, d3=1, d4=1)) as lazy:
            check(lazy.value.data.chunksize == (1, 1, 1, 1, 1, xs), f"{stem} dask chunks {lazy.value.data.chunksize}")
            check(float(lazy.value.sum().compute()) == float(xr.open_dataset(nc).value.sum()), f"{stem} dask sum")
        back, again = path(stem + "-back.vqdm"), path(stem + "-again.nc")
        ok("import", nc, back)
        ok("export", back, "--netcdf", again)
        with xr.open_dataset(nc) as a, xr.open_dataset(again) as b:
            check(a.identical(b), f"{stem}: export -> import -> export differs")


# Value formats: (code, netCDF type, complex). Values from the formula below.
FORMATS = [(0, "i4", False), (1, "f8", False), (2, "f8", True), (3, "i2", False), (4, "i8", False),
           (5, "f4", False), (6, "f4", True)]
SHAPE = (3, 2, 2, 1, 2, 5)  # d1 d2 d3 d4 records x


def formula(complex_):
    i = np.indices(SHAPE)
    v = (i[0] * 31 + i[1] * 17 + i[2] * 7 + i[4] * 5 + i[5]) % 200 - 100
    return (v, -v // 2) if complex_ else (v, None)


def write_layout(name, dtype, complex_, kind):
    ds = netCDF4.Dataset(path(name), "w")
    for n, size in zip(("d1", "d2", "d3", "d4", "records", "x"), SHAPE):
        ds.createDimension(n, size)
    ds.label, ds.matrix_type, ds.element_priority = "formats", kind, "LIFO"
    d1 = ds.createVariable("d1", "f8", ("d1",))
    d1[:], d1.units = [10, 12.5, 15], "km/h"
    x = ds.createVariable("x", "f8", ("x",))
    x[:], x.units, x.axis_kind = [1, 2, 4, 8, 16], "Hz", "values"
    re, im = formula(complex_)
    parts = ("value_re", "value_im") if complex_ else ("value",)
    for part, data in zip(parts, (re, im)):
        var = ds.createVariable(part, dtype, ("d1", "d2", "d3", "d4", "records", "x"), chunksizes=(1, 1, 1, 1, 2, 5))
        var[:] = data
        var.setncattr("Setup.Rig", "bench 2")
    first = ds.variables[parts[0]]
    first.setncattr_string("element_attribute_names", ["Setup.Rig", "Setup.Gain"])
    first.setncattr_string("element_attribute_groups", ["Setup", "Setup"])
    first.setncattr_string("element_attribute_second_names", ["", "amp"])
    first.setncattr_string("element_attribute_keys", ["Rig", "Gain"])
    first.setncattr_string("element_attribute_types", ["8", "3"])  # VT_BSTR, VT_I4
    gain = ds.createVariable("Setup.Gain", "i8", ("d1", "d2", "d3", "d4"))
    gain[:] = np.ma.masked_equal(np.arange(12).reshape(SHAPE[:4]) * 10, 0)  # element 0 lacks it
    ident = ds.createVariable("id", "i4", ("d1", "d2", "d3", "d4"))
    ident[:] = np.arange(12).reshape(SHAPE[:4]) + 100
    label = ds.createVariable("label", str, ("d1", "d2", "d3", "d4"))
    for e in range(12):
        label[np.unravel_index(e, SHAPE[:4])] = f"element {e}"
    ds.close()


def every_format():
    for code, dtype, complex_ in FORMATS:
        kind = "multiple objects" if code % 2 else "single object"
        source, stream, out = path(f"format{code}.nc"), path(f"format{code}.vqdm"), path(f"format{code}-out.nc")
        write_layout(f"format{code}.nc", dtype, complex_, kind)
        ok("import", source, stream)
        ok("export", stream, "--netcdf", out)
        re, im = formula(complex_)
        with xr.open_dataset(out) as ds:
            tag = f"format {code}"
            check(ds.attrs["matrix_type"] == kind and ds.attrs["element_priority"] == "LIFO", f"{tag} globals")
            if complex_:
                check(np.array_equal(ds.value_re.values, re) and np.array_equal(ds.value_im.values, im), f"{tag} values")
                check(ds.value_re.dtype == np.dtype(dtype), f"{tag} type {ds.value_re.dtype}")
            else:
                check(np.array_equal(ds.value.values, re) and ds.value.dtype == np.dtype(dtype), f"{tag} values")
            check(np.array_equal(ds.id.values.ravel(), np.arange(12) + 100), f"{tag} ids")
            check(str(ds.label.values[1, 1, 0, 0]) == "element 6", f"{tag} labels")
            gains = np.where(np.arange(12) == 0, np.nan, np.arange(12) * 10)
            check(np.array_equal(ds["Setup.Gain"].values.ravel(), gains, equal_nan=True), f"{tag} varying attribute")
            check(ds.x.units == "Hz" and ds.d1.units == "km/h", f"{tag} units")
            check(np.array_equal(ds.x.values, [1, 2, 4, 8, 16]) and ds.d1.values[2] == 15, f"{tag} axes")
        # The matrix itself holds the formula: one element as CSV (complex: magnitude).
        element = vqdm("export", stream, "--at", "2", "1", "0", "0", "--record", "1").stdout.splitlines()
        expected = re[2, 1, 0, 0, 1] if im is None else np.hypot(re[2, 1, 0, 0, 1], im[2, 1, 0, 0, 1])
        check(np.allclose([float(line.split(",")[1]) for line in element[1:]], expected), f"{tag} CSV")


def bad_inputs():
    text = path("text.nc")
    with open(text, "w") as f:
        f.write("not a netCDF file\n")
    shutil.copy(path("format1.nc"), path("base.nc"))

    def variant(name, edit):
        ds = netCDF4.Dataset(path(name), "w")
        for n, size in zip(("d1", "d2", "d3", "d4", "records", "x"), SHAPE):
            if n != edit.get("drop"):
                ds.createDimension(n, size)
        dims = edit.get("dims", ("d1", "d2", "d3", "d4", "records", "x"))
        if "dtype" in edit or "dims" in edit:
            ds.createVariable("value", edit.get("dtype", "f8"), dims)
        if "table" in edit:
            ds.createVariable("value", "f8", dims).setncattr_string("element_attribute_names", ["a.b"])
        ds.close()
        return path(name)

    cases = [
        (["import", text, path("x.vqdm")], 1, "is not a netCDF file"),
        (["import", path("runup.vqdm"), path("x.vqdm")], 1, "is not a netCDF file"),
        (["import", path("missing.nc"), path("x.vqdm")], 1, "cannot open"),
        (["import", variant("novalue.nc", {}), path("x.vqdm")], 1, "needs a variable value"),
        (["import", variant("norecords.nc", {"drop": "records", "dims": ("d1", "d2", "d3", "d4", "x")}),
          path("x.vqdm")], 1, "no dimension records"),
        (["import", variant("turned.nc", {"dims": ("d1", "d2", "d3", "d4", "x", "records")}), path("x.vqdm")], 1,
         "not over (d1, d2, d3, d4, records, x)"),
        (["import", variant("bytes.nc", {"dtype": "u1"}), path("x.vqdm")], 1, "is no matrix format"),
        (["import", variant("table.nc", {"table": True}), path("x.vqdm")], 1, "differ in length"),
        (["import", path("base.nc"), "/nonexistent/x.vqdm"], 1, "cannot create"),
        (["import", path("base.nc")], 2, "OUT is required"),
        (["export", path("runup.vqdm"), "--netcdf", "/nonexistent/x.nc"], 1, "cannot create"),
        (["export", path("runup.vqdm"), "--netcdf", path("x.nc"), "--all"], 2, "takes none of"),
        (["export", text, "--netcdf", path("x.nc")], 1, "is not a matrix stream"),
    ]
    for args, code, says in cases:
        r = vqdm(*args)
        lines = r.stderr.splitlines()
        check(r.returncode == code and len(lines) == 1 and lines[0].startswith("vqdm: ") and says in lines[0],
              f"{args}: exit {r.returncode}, {r.stderr!r}, wanted {code} and {says!r}")
    check(not os.path.exists(path("x.nc")) and not os.path.exists(path("x.vqdm")), "a failed command left a file")


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)
demo_files()
every_format()
bad_inputs()
for f in failures:
    print("FAILED:", f)
if not failures:
    shutil.rmtree(WORK, ignore_errors=True)
sys.exit(1 if failures else 0)
