"""The Python module against the command line: same numbers, errors with reasons, threads, Ctrl-C."""

import json
import math
import os
import pathlib
import re
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import morvane

ROOT = pathlib.Path(os.environ.get("MORVANE_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
CLI = os.environ.get("MORVANE_CLI", str(ROOT / "build/app/cli/morvane-cli"))
TEST_ZEL = str(ROOT / "data/test.zel")
THREE = str(ROOT / "data/twin_three_geometries.zel")
DEFAULT_SPIN = morvane.Spin(90, 90, 21.9, 0.0, 90)  # the command line's defaults


def run_cli(folder, *options):
    """Runs morvane-cli in `folder`; its completed process."""
    return subprocess.run([CLI, "-C", str(folder), *options], capture_output=True, text=True)


def journal_bits(folder):
    """shape -> (misfit, best_shift) exactly, from the journal's hexadecimal bits."""
    rows = {}
    for line in (folder / "output/journal.txt").read_text().splitlines()[1:]:  # after the run's id
        words = line.split()
        as_double = lambda h: struct.unpack("<d", struct.pack("<Q", int(h, 16)))[0]
        rows[int(words[0])] = (as_double(words[1]), as_double(words[2]))
    return rows


def summary_text(table):
    """The table as output/main.txt writes it ("%i" then nine "%lf")."""
    lines = []
    for r in table:
        values = [r[name] for name in table.dtype.names[1:]]
        lines.append("%i " % r["shape"] + " ".join("%f" % v for v in values) + "\n")
    return "".join(lines)


@pytest.fixture(scope="module")
def cli_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    done = run_cli(folder, "--path", TEST_ZEL, "--subdivisions", "2", "--step", "0.5", "--threads", "1")
    assert done.returncode == 0, done.stderr
    return folder


def test_sweep_gives_the_command_lines_table_bit_for_bit(cli_run):
    obs = morvane.read_observations(TEST_ZEL)
    table = morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=2, threads=2)
    assert table.dtype.names == ("shape", "x_scale_1", "y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2",
                                 "z_scale_2", "x_shift", "best_shift", "misfit")
    assert summary_text(table) == (cli_run / "output/main.txt").read_text()
    exact = journal_bits(cli_run)
    assert len(exact) == len(table) == 12
    for r in table:
        assert (r["misfit"], r["best_shift"]) == exact[int(r["shape"])]


def test_lightcurve_gives_the_sweeps_brightness(cli_run):
    # The samples the command line fitted, to 17 digits, and shape 7's file.
    samples = [line.split() for line in (cli_run / "output/samples.txt").read_text().splitlines()
               if line.startswith("sample ")]
    times = np.array([float(w[2]) for w in samples])
    earth = np.array([[float(x) for x in w[4:7]] for w in samples])
    sun = np.array([[float(x) for x in w[7:10]] for w in samples])
    table = morvane.sweep(morvane.read_observations(TEST_ZEL), DEFAULT_SPIN, 0.5, subdivisions=2, threads=1)
    row = table[6]
    params = [row[n] for n in ("y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2", "z_scale_2", "x_shift")]
    shape = morvane.twin_shape(params, subdivisions=2)
    brightness = morvane.lightcurve(shape, times, sun, earth, DEFAULT_SPIN)
    written = "".join("%f %.6f\n" % (t, b) for t, b in zip(times, brightness))
    assert written == (cli_run / "output/00007.lc.txt").read_text()
    # Bit for bit: the sweep's own magnitudes of shape 7 are these brightnesses' (math.log10 is the
    # C library's, as the sweep's).
    _, extra = morvane.sweep(morvane.read_observations(TEST_ZEL), DEFAULT_SPIN, 0.5, subdivisions=2, curves=True)
    assert extra["magnitudes"].shape == (12, 150)
    assert np.array_equal(extra["magnitudes"][6], np.array([math.log10(b) * -2.5 for b in brightness]))


def test_the_examples_sample_times_are_the_sweeps(cli_run):
    # examples/fit_from_python.py places sample k at t_first + k * span / 150, as the sweep does.
    samples = [line.split() for line in (cli_run / "output/samples.txt").read_text().splitlines()
               if line.startswith("sample ")]
    written = np.array([float(w[2]) for w in samples])
    block = morvane.read_observations(TEST_ZEL).blocks[0]
    n = 150
    span = block["times"][-1] - block["times"][0]
    assert np.array_equal(block["times"][0] + np.arange(n) * (span / n), written)


def test_joint_fit_gives_each_blocks_fit(tmp_path):
    done = run_cli(tmp_path, "--path", THREE, "--subdivisions", "1", "--step", "0.5", "--blocks", "all",
                   "--fit", "offset", "--threads", "1")
    assert done.returncode == 0, done.stderr
    obs = morvane.read_observations(THREE, blocks="all")
    assert [b["block"] for b in obs.blocks] == [0, 1, 2]
    table, extra = morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=1, fit="offset")
    assert summary_text(table) == (tmp_path / "output/main.txt").read_text()
    lines = (tmp_path / "output/fits.csv").read_text().splitlines()[1:]
    ours = ["%i,%i,%f,%f" % (k + 1, b, extra["block_shift"][k][i], extra["block_misfit"][k][i])
            for k in range(len(table)) for i, b in enumerate(extra["blocks"])]
    assert ours == lines


def journal_block_bits(folder):
    """shape -> [(zero_point, chi2) of each block] exactly, from a chi2 run's journal."""
    as_double = lambda h: struct.unpack("<d", struct.pack("<Q", int(h, 16)))[0]
    rows = {}
    for line in (folder / "output/journal.txt").read_text().splitlines()[1:]:
        words = line.split()[5:]
        rows[int(line.split()[0])] = [(as_double(z), as_double(c)) for z, c in zip(words[0::2], words[1::2])]
    return rows


GRID_PARAMS = ("y_scale_1", "z_scale_1", "x_scale_2", "y_scale_2", "z_scale_2", "x_shift")


# (file, blocks as read_observations takes them, the command line's options for the same, sigma)
CHI2_CASES = [
    (TEST_ZEL, None, [], None),
    (THREE, "all", ["--blocks", "all"], 0.02),
    (THREE, 1, ["--block", "1"], None),
    (THREE, [0, 2], ["--blocks", "0,2"], 0.05),
]


@pytest.mark.parametrize("path,blocks,options,sigma", CHI2_CASES)
def test_chi2_sweep_and_one_shapes_chi2_give_the_command_lines_fit(tmp_path, path, blocks, options, sigma):
    sigma_options = [] if sigma is None else ["--sigma", str(sigma)]
    done = run_cli(tmp_path, "--path", path, "--subdivisions", "1", "--step", "0.5", "--fit", "chi2",
                   "--threads", "1", *options, *sigma_options)
    assert done.returncode == 0, done.stderr
    obs = morvane.read_observations(path, blocks=blocks)
    table, extra = morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=1, fit="chi2", sigma=sigma, threads=2)
    assert summary_text(table) == (tmp_path / "output/main.txt").read_text()
    exact = journal_bits(tmp_path)
    per_block = journal_block_bits(tmp_path)
    for k, r in enumerate(table):
        assert (r["misfit"], r["best_shift"]) == exact[int(r["shape"])]
        ours = list(zip(extra["block_zero_point"][k], extra["block_chi2"][k]))
        assert ours == per_block[int(r["shape"])]
    if sigma is not None:
        assert list(extra["sigma"]) == [sigma] * len(extra["blocks"])
    # One grid shape's chi2 on its own is the sweep's row, bit for bit.
    k = 6
    fit = morvane.chi2([table[k][n] for n in GRID_PARAMS], obs, DEFAULT_SPIN, sigma=sigma, subdivisions=1)
    assert fit["reduced_chi2"] == table[k]["misfit"]
    assert fit["points"] == int(extra["block_points"].sum()) and fit["blocks"] == len(extra["blocks"])
    assert [b["block"] for b in fit["per_block"]] == list(extra["blocks"])
    assert [(b["zero_point"], b["chi2"]) for b in fit["per_block"]] == per_block[k + 1]
    assert [b["points"] for b in fit["per_block"]] == list(extra["block_points"])
    assert fit["chi2"] == pytest.approx(sum(b["chi2"] for b in fit["per_block"]), rel=1e-12)
    assert fit["reduced_chi2"] == pytest.approx(fit["chi2"] / (fit["points"] - fit["blocks"]), rel=1e-12)
    shape = morvane.twin_shape([table[k][n] for n in GRID_PARAMS], subdivisions=1)
    assert morvane.chi2(shape, obs, DEFAULT_SPIN, sigma=sigma) == fit


def as_written(value):
    """`value` with every float as a JSON file of ours holds it ("%.10g")."""
    if isinstance(value, dict):
        return {k: as_written(v) for k, v in value.items()}
    if isinstance(value, list):
        return [as_written(v) for v in value]
    return float("%.10g" % value) if isinstance(value, float) else value


def test_refine_gives_the_command_lines_refinement(tmp_path):
    done = run_cli(tmp_path, "--path", THREE, "--subdivisions", "1", "--step", "0.5", "--fit", "chi2",
                   "--threads", "1", "--refine", "2", "--refine-effort", "0.1")
    assert done.returncode == 0, done.stderr
    obs = morvane.read_observations(THREE)
    table, _ = morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=1, fit="chi2", threads=2)
    ours = morvane.refine(obs, DEFAULT_SPIN, table, starts=2, subdivisions=1, threads=2, effort=0.1)
    # refined.txt's lines, as written ("%.6f" parameters, "%.10g" chi2, "%.6g" the rest).
    lines = (tmp_path / "output/refined.txt").read_text().splitlines()
    names = lines[0].lstrip("# ").split()
    assert len(lines) - 1 == len(ours["refined"])
    for line, solution in zip(lines[1:], ours["refined"]):
        row = dict(zip(names, line.split()))
        assert int(row["start_shape"]) == solution["start_shape"]
        assert int(row["evaluations"]) == solution["evaluations"]
        assert row["chi2"] == "%.10g" % solution["chi2"]
        for name in GRID_PARAMS + ("phi0_deg",):
            assert row[name] == "%f" % solution[name]
    assert json.loads((tmp_path / "output/uncertainty.json").read_text()) == as_written(ours["uncertainty"])
    with pytest.raises(ValueError, match="budget has no 'locale'"):
        morvane.refine(obs, DEFAULT_SPIN, table, budget={"locale": 3})
    with pytest.raises(ValueError, match="effort"):
        morvane.refine(obs, DEFAULT_SPIN, table, effort=0)


def test_chi2_refusals_are_value_errors_with_the_command_lines_texts(tmp_path):
    obs = morvane.read_observations(TEST_ZEL)
    printed = run_cli(tmp_path, "--path", TEST_ZEL, "--fit", "chi2", "--sigma", "-1").stderr
    for call in (lambda: morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=1, fit="chi2", sigma=-1.0),
                 lambda: morvane.chi2([0.5, 0.25, 0.1, 0.05, 0.025, 0.9], obs, DEFAULT_SPIN, sigma=0.0)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) in printed
    with pytest.raises(ValueError, match="chi2"):
        morvane.sweep(obs, DEFAULT_SPIN, 0.5, subdivisions=1, sigma=0.01)
    with pytest.raises(ValueError, match="subdivisions"):
        morvane.chi2(morvane.twin_shape([0.5, 0.25, 0.1, 0.05, 0.025, 0.9], 1), obs, DEFAULT_SPIN, subdivisions=2)
    # A single point leaves no degree of freedom: refused with the command line's reason.
    one = tmp_path / "one.zel"
    one.write_text("1\n1 0\n2451545 1 1 0 0 0 1 0\n")
    printed = run_cli(tmp_path, "--path", str(one), "--fit", "chi2", "--subdivisions", "1").stderr
    with pytest.raises(ValueError) as caught:
        morvane.chi2([0.5, 0.25, 0.1, 0.05, 0.025, 0.9], morvane.read_observations(str(one), blocks=[0]),
                     DEFAULT_SPIN)
    assert str(caught.value) in printed
    # The file is read for the chi2 fit; the range fit refuses it with the reader's reason.
    with pytest.raises(ValueError, match="single observation"):
        morvane.sweep(morvane.read_observations(str(one), blocks=[0]), DEFAULT_SPIN, 0.5, subdivisions=1)


def test_observations_come_as_arrays_and_bad_files_as_value_errors(tmp_path):
    # An int picks one block read as the whole series (as --block K): no block number. A list keeps
    # each block its own series, numbered.
    blocks = morvane.read_observations(str(ROOT / "data/kleopatra_lc.txt"), blocks=54).blocks
    assert [b["block"] for b in blocks] == [None]
    listed = morvane.read_observations(str(ROOT / "data/kleopatra_lc.txt"), blocks=[54]).blocks
    assert [b["block"] for b in listed] == [54]
    b = blocks[0]
    for key in ("times", "magnitude", "brightness", "sun", "earth"):
        assert np.array_equal(b[key], listed[0][key]), key
    assert b["times"].shape == (149,) and b["sun"].shape == (149, 3) and b["earth"].shape == (149, 3)
    assert np.allclose(-2.5 * np.log10(b["brightness"]), b["magnitude"])
    bad = tmp_path / "bad.zel"
    bad.write_text("1\n3 0\n2451545 1 1 0 0 0 1 0\n2451544 1 1 0 0 0 1 0\n2451546 1 1 0 0 0 1 0\n")
    with pytest.raises(ValueError) as caught:
        morvane.read_observations(str(bad))
    printed = run_cli(tmp_path, "--path", str(bad), "--subdivisions", "1").stderr
    assert str(caught.value) in printed
    with pytest.raises(ValueError, match="missing.zel"):
        morvane.read_observations(str(tmp_path / "missing.zel"))
    with pytest.raises(ValueError):
        morvane.read_observations(TEST_ZEL, blocks="none of them")
    with pytest.raises(ValueError, match="period"):
        morvane.sweep(morvane.read_observations(TEST_ZEL), morvane.Spin(90, 90, 0.0), 0.5, subdivisions=1)


def test_arrays_of_the_wrong_shape_or_kind_raise_value_errors():
    shape = morvane.twin_shape([1.0, 0.5, 0.6, 0.3, 0.15, 0.9], subdivisions=1)
    t = np.linspace(2451545.0, 2451546.0, 5)
    v = np.tile([1.0, 0.0, 0.0], (5, 1))
    for times, sun, earth in [(t.reshape(5, 1), v, v), (t, v[:, :2], v), (t, v, v[:4]), (t, v, v.T),
                              (np.array(["a"] * 5), v, v), (t, v.astype(str), v), (np.array([]), v[:0], v[:0]),
                              (t.astype(complex), v, v), (t, v.astype(bool), v), (np.array([None] * 5), v, v),
                              (None, v, v), (t, None, v)]:
        with pytest.raises(ValueError):
            morvane.lightcurve(shape, times, sun, earth, DEFAULT_SPIN)
    for params in ([1.0] * 5, [[1.0] * 6], [1.0, 1.0, 1.0, 1.0, 1.0, float("nan")]):
        with pytest.raises(ValueError):
            morvane.twin_shape(params)
    with pytest.raises(ValueError):
        morvane.twin_shape([1.0] * 6, subdivisions=11)
    # Integers are numbers too.
    assert morvane.lightcurve(shape, t, v.astype(int), v.astype(np.uint8), DEFAULT_SPIN).shape == (5,)


def test_shape_and_visibility_bytes():
    n = 2
    shape = morvane.twin_shape([1.0, 0.5, 0.6, 0.3, 0.15, 0.9], subdivisions=n)
    facets = 2 * 20 * 4 ** n
    assert shape.facets.shape == (facets, 3) and shape.facets.min() == 0
    assert shape.vertices.shape == (shape.facets.max() + 1, 3)
    t = np.linspace(2451545.0, 2451546.0, 7)
    sun = np.tile([1.0, 0.0, 0.0], (7, 1))
    earth = np.tile([0.9, 0.3, 0.0], (7, 1))
    brightness, seen = morvane.lightcurve(shape, t, sun, earth, DEFAULT_SPIN, visibility=True)
    assert seen.shape == (7, facets) and seen.dtype == np.uint8
    assert np.array_equal(brightness, morvane.lightcurve(shape, t, sun, earth, DEFAULT_SPIN))
    lit = (seen > 0).sum(axis=1)
    assert np.all(lit > 0) and np.all(lit < facets / 2)


def test_spin_from_file_equals_the_options():
    s = morvane.Spin.from_file(str(ROOT / "data/kleopatra_spin.txt"))
    assert (s.lambda_deg, s.beta_deg, s.period_hours, s.t0, s.phi0_deg) == (73.0895, 20.1825, 5.38528201,
                                                                             2444502.76914, 0.0)


def test_a_sweep_lets_other_python_threads_run_and_reports_progress():
    obs = morvane.read_observations(TEST_ZEL)
    seen = []
    callers = set()
    watched = []  # progress as this thread saw it while the sweep ran
    result = {}

    def work():
        result["table"] = morvane.sweep(obs, DEFAULT_SPIN, 0.25, subdivisions=3, threads=1,
                                        progress=lambda done, total: (seen.append((done, total)),
                                                                      callers.add(threading.get_ident())))

    # With the interpreter's forced switches put off, this thread gets to run while the other is
    # inside the sweep only if the sweep lets go of the GIL; then it sees the sweep part done.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        while worker.is_alive():
            if seen:
                watched.append(seen[-1][0])
            time.sleep(0.001)
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert len(result["table"]) == 280
    assert any(0 < done < 280 for done in watched), watched[-20:]
    assert callers == {worker.ident}
    assert seen[-1] == (280, 280)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)


def test_ctrl_c_ends_a_sweep_long_before_its_end():
    obs = morvane.read_observations(TEST_ZEL)
    started = threading.Event()
    seen = []
    sent = {}

    def progress(done, total):
        seen.append((done, total))
        started.set()

    def interrupt():
        started.wait(120)  # the first report: the sweep is under way
        time.sleep(0.2)
        sent["at"] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        morvane.sweep(obs, DEFAULT_SPIN, 0.1, subdivisions=3, threads=2, progress=progress)
    ended = time.monotonic()
    assert started.is_set() and "at" in sent
    # 44388 shapes take minutes; a honoured Ctrl-C ends it within a second when the machine is idle,
    # and well within this bound when it is loaded.
    assert ended - sent["at"] < 15
    assert seen[-1][0] < seen[-1][1] // 10, seen[-1]


def run_limited(code, headroom_mb, cwd):
    """Runs `code` in a child interpreter once its address space is limited to what it uses now plus
    `headroom_mb`; the child's completed process. `code` finds morvane, json, sys and time imported."""
    child = (
        "import json, resource, sys, time\n"
        "import morvane\n"
        "used = int(next(l for l in open('/proc/self/status') if l.startswith('VmSize:')).split()[1]) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + %d * 1024 * 1024, resource.RLIM_INFINITY))\n"
        % headroom_mb + code)
    return subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, cwd=str(cwd), timeout=300)


def sweep_in_child(path, blocks, step, subdivisions, threads):
    """Child code: reads `path`, sweeps it at `step` and prints how it went as JSON (the exception's type
    and text, the seconds), then whether a small sweep still works in that interpreter."""
    return (
        "obs = morvane.read_observations(%r, blocks=%r)\n"
        "spin = morvane.Spin(90, 90, 21.9, 0.0, 90)\n"
        "started = time.monotonic()\n"
        "try:\n"
        "    morvane.sweep(obs, spin, %r, subdivisions=%d, threads=%d)\n"
        "    out = {'raised': None}\n"
        "except Exception as e:\n"
        "    out = {'raised': type(e).__name__, 'text': str(e)}\n"
        "out['seconds'] = time.monotonic() - started\n"
        "small = morvane.sweep(obs, spin, 0.5, subdivisions=1, threads=1)\n"
        "out['after'] = len(small[0] if isinstance(small, tuple) else small)\n"
        "print(json.dumps(out))\n" % (path, blocks, step, subdivisions, threads))


def without_machine_figures(text):
    """A size refusal without what depends on the moment: the memory available, the disk free and the
    time a few shapes took."""
    text = re.sub(r"\([^()]* available\)", "(_ available)", text)
    text = re.sub(r"\([^()]* free in the output folder\)", "(_ free in the output folder)", text)
    return re.sub(r"it would take about .* on ", "it would take about _ on ", text)


def test_a_sweep_too_large_is_refused_before_it_allocates_with_the_command_lines_reason(tmp_path):
    # 1.6e9 shapes of three lightcurves: about 217 GB of memory, more than a test machine has.
    available = next(int(l.split()[1]) * 1024 for l in open("/proc/meminfo") if l.startswith("MemAvailable:"))
    if available > 200e9:
        pytest.skip("this machine could hold the sweep meant to be refused")
    options = ["--path", THREE, "--blocks", "all", "--subdivisions", "1", "--step", "0.015", "--threads", "2",
               "--no-curves"]
    printed = run_cli(tmp_path, *options)
    assert printed.returncode == 2 and "does not fit" in printed.stderr, printed.stderr
    # Refused within 256 MB more than the interpreter holds: the refusal allocates nothing large.
    child = run_limited(sweep_in_child(THREE, "all", 0.015, 1, 2), 256, tmp_path)
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    assert out["raised"] == "ValueError", out
    assert without_machine_figures(printed.stderr) == \
        "morvane-cli: options refused: " + without_machine_figures(out["text"]) + "\n"
    assert out["seconds"] < 20, out  # the command line takes a tenth of a second
    assert out["after"] == 12
    # The grid's own limit, in the same words.
    with pytest.raises(ValueError) as caught:
        morvane.sweep(morvane.read_observations(TEST_ZEL), DEFAULT_SPIN, 0.01, subdivisions=1)
    printed = run_cli(tmp_path, "--path", TEST_ZEL, "--subdivisions", "1", "--step", "0.01")
    assert printed.returncode == 2 and printed.stderr == "morvane-cli: " + str(caught.value) + "\n"


def test_a_sweep_out_of_memory_raises_memory_error_and_the_interpreter_goes_on(tmp_path):
    # 1.2e6 shapes: the refusal's estimate (120 MB) passes, but the table (86 MB) does not fit in the
    # 48 MB the child may still take; the sweep's own thread allocates it.
    child = run_limited(sweep_in_child(TEST_ZEL, None, 0.05, 1, 1), 48, tmp_path)
    assert child.returncode == 0, (child.returncode, child.stderr)
    out = json.loads(child.stdout)
    assert out["raised"] == "MemoryError", out
    assert out["text"].startswith("sweep failed: not enough memory"), out
    assert out["after"] == 12


def test_spin_search_gives_the_command_lines_spins(tmp_path):
    done = run_cli(tmp_path, "--path", THREE, "--period", "7.5", "--subdivisions", "1", "--step", "0.9",
                   "--fit", "chi2", "--threads", "2", "--pole-nside", "1", "--pole-levels", "1",
                   "--scan-subdivisions", "1", "--refine", "1", "--refine-effort", "0.05")
    assert done.returncode == 0, done.stderr
    obs = morvane.read_observations(THREE)
    spin = morvane.Spin(90, 90, 7.5, 0.0, 90)
    ours = morvane.spin_search(obs, spin, nside=1, levels=1, subdivisions=1, scan_subdivisions=1, threads=2)
    lines = (tmp_path / "output/spins.txt").read_text().splitlines()
    assert len(lines) - 1 == len(ours["spins"]) == 12
    for line, row in zip(lines[1:], ours["spins"]):
        ours_line = "%.6f %.6f %.9f %.6f %.10g %.6g" % (row["lambda_deg"], row["beta_deg"], row["period_h"],
                                                       row["phi0_deg"], row["chi2"], row["reduced_chi2"])
        ours_line += "".join(" %.6f" % row[name] for name in GRID_PARAMS)
        assert line == ours_line
    assert ours["best"] == ours["spins"][0]
    assert ours["levels"][0]["spins"] == 12
    with pytest.raises(ValueError, match="power of two"):
        morvane.spin_search(obs, spin, nside=3)
    with pytest.raises(ValueError, match="--periods takes"):
        morvane.spin_search(obs, spin, periods="8:7")
