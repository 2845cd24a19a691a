"""The Python module's speed against the command line's, side by side in one run.

    PYTHONPATH=build/python python3 bench/python_speed.py [SUBDIVISIONS=3] [STEP=0.2]

Times one `lightcurve` call per shape (the 150 samples of data/test.zel, the grid's first
shapes) and a one-thread `sweep`, against `morvane-cli --threads 1` on the same grid (its own
"generated and compared N shapes in S seconds"), alternating twice; prints each per-shape time
and the ratios.
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

import morvane

ROOT = pathlib.Path(__file__).resolve().parents[1]
CLI = os.environ.get("MORVANE_CLI", str(ROOT / "build/app/cli/morvane-cli"))
N = int(sys.argv[1]) if len(sys.argv) > 1 else 3
STEP = float(sys.argv[2]) if len(sys.argv) > 2 else 0.2
SPIN = morvane.Spin(90, 90, 21.9, 0.0, 90)
PARAMS = ("y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2", "z_scale_2", "x_shift")


def cli_per_shape():
    """Seconds per shape of the command line's sweep on one thread."""
    with tempfile.TemporaryDirectory() as folder:
        done = subprocess.run([CLI, "-C", folder, "--path", str(ROOT / "data/test.zel"), "--subdivisions", str(N),
                               "--step", str(STEP), "--threads", "1"], capture_output=True, text=True, check=True)
    shapes, seconds = re.search(r"generated and compared (\d+) shapes in ([0-9.]+) seconds", done.stdout).groups()
    return float(seconds) / int(shapes)


def python_sweep_per_shape(obs):
    start = time.perf_counter()
    table = morvane.sweep(obs, SPIN, STEP, subdivisions=N, threads=1)
    return (time.perf_counter() - start) / len(table), table


def lightcurve_per_shape(table, times, sun, earth, count=40):
    shapes = [morvane.twin_shape([row[p] for p in PARAMS], subdivisions=N) for row in table[:count]]
    start = time.perf_counter()
    for shape in shapes:
        morvane.lightcurve(shape, times, sun, earth, SPIN)
    return (time.perf_counter() - start) / len(shapes)


obs = morvane.read_observations(str(ROOT / "data/test.zel"))
block = obs.blocks[0]
times = np.linspace(block["times"][0], block["times"][-1], 150)
sun = np.array([np.interp(times, block["times"], block["sun"][:, i]) for i in range(3)]).T
earth = np.array([np.interp(times, block["times"], block["earth"][:, i]) for i in range(3)]).T
for round_ in (1, 2):
    cli = cli_per_shape()
    swept, table = python_sweep_per_shape(obs)
    curve = lightcurve_per_shape(table, times, sun, earth)
    print(f"round {round_}: command line {cli * 1e3:.2f} ms/shape, Python sweep {swept * 1e3:.2f} ms/shape "
          f"({swept / cli:.2f}x), lightcurve() {curve * 1e3:.2f} ms/shape ({curve / cli:.2f}x)")
