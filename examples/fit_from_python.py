"""Fits two-lobed shapes to one night of (216) Kleopatra from Python, and plots the best fit
and the misfit profiles.

    PYTHONPATH=build/python python3 examples/fit_from_python.py [OUTPUT.png]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import morvane

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
PARAMS = ("y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2", "z_scale_2", "x_shift")

obs = morvane.read_observations(str(DATA / "kleopatra_lc.txt"), blocks=[54])
spin = morvane.Spin.from_file(str(DATA / "kleopatra_spin.txt"))
table, extra = morvane.sweep(obs, spin, step=0.25, subdivisions=3, fit="offset", curves=True,
                             progress=lambda done, total: print(f"\r{done}/{total} shapes", end=""))
print()
best = table[np.nanargmin(table["misfit"])]
print("best shape", best["shape"], {p: round(float(best[p]), 4) for p in PARAMS}, "misfit", best["misfit"])

# The fit as the sweep made it: the best shape's synthetic magnitudes at the 150 reference
# samples, moved by its best cyclic shift and its mean offset. The sweep places sample k at
# t_first + k * span / 150, so the last sample falls one step before the night's last point.
block = obs.blocks[0]
n = 150
synthetic = extra["magnitudes"][best["shape"] - 1]
s = int(round(best["best_shift"] * (n - 1)))
span = block["times"][-1] - block["times"][0]
times = block["times"][0] + np.arange(n) * (span / n)
reference = np.interp(times, block["times"], block["magnitude"])
model = np.empty(n)
model[(s + np.arange(n)) % n] = synthetic
model += np.mean(reference - model)

fig = plt.figure(figsize=(12, 7))
ax = fig.add_subplot(2, 1, 1)
hours = lambda t: (t - block["times"][0]) * 24
ax.plot(hours(block["times"]), block["magnitude"], ".", color="grey", label="observations (block 54)")
ax.plot(hours(times), model, "-", color="tab:red", label=f"shape {best['shape']}, fitted (offset fit)")
ax.invert_yaxis()
ax.set_xlabel("hours after JD %.5f" % block["times"][0])
ax.set_ylabel("magnitude")
ax.legend()
for i, p in enumerate(PARAMS):
    sub = fig.add_subplot(2, 6, 7 + i)
    values = np.unique(table[p])
    lowest = [np.nanmin(table["misfit"][table[p] == v]) for v in values]
    sub.plot(values, lowest, "o-")
    sub.plot([best[p]], [best["misfit"]], "o", color="tab:red")
    sub.set_xlabel(p)
    if i == 0:
        sub.set_ylabel("lowest misfit")
fig.tight_layout()
out = sys.argv[1] if len(sys.argv) > 1 else "fit_from_python.png"
fig.savefig(out, dpi=90)
print("wrote", out)
