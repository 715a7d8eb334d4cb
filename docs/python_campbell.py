"""A Campbell diagram of the demonstration run-up, from Python.

    build/release/tools/vqdm demo --out /tmp/runup
    PYTHONPATH=build/release/python /usr/bin/python3 docs/python_campbell.py /tmp/runup/runup.vqdm campbell.png

The run-up matrix holds one narrowband spectrum per speed step (d1), channel
(d2) and run (d3). A spectrum slice of the plane d1-d2 at run 0 gives every
speed step's spectrum of every channel in one array, shown in place of the
library's result item (no copy); the picture is speed against frequency,
coloured by level.
"""
import sys

import matplotlib

matplotlib.use("Agg")  # writes a file; no display needed
import matplotlib.pyplot as plt
import numpy as np

import vqdatamatrix as vq


def main(path, picture, channel=0, run=0):
    m = vq.open(path)
    spectra = m.spectrum_slice(plane="d1d2", at=(run, 0))[:, channel, :]  # speed steps x lines
    speed = m.axis(0)  # d1: the speed axis
    frequency = m.x_axis
    level = 20 * np.log10(np.maximum(np.abs(spectra), 1e-12))

    fig, ax = plt.subplots(figsize=(8, 5))
    image = ax.pcolormesh(frequency.values, speed.values, level, shading="nearest", cmap="viridis",
                          vmin=level.max() - 80)
    ax.set_xlabel(f"frequency [{frequency.unit}]")
    ax.set_ylabel(f"speed [{speed.unit}]")
    ax.set_title(f"{m.label}: channel {channel + 1}, run {run + 1}")
    fig.colorbar(image, ax=ax, label="level [dB]")
    fig.savefig(picture, dpi=120, bbox_inches="tight")
    print(f"{picture}: {spectra.shape[0]} speed steps x {spectra.shape[1]} lines")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: python_campbell.py RUNUP.vqdm PICTURE.png")
    main(sys.argv[1], sys.argv[2])
