"""pip install --no-build-isolation .  builds the `morvane` Python module with CMake.

Uses Debian's setuptools, pybind11 and numpy (scripts/bootstrap installs them); nothing is
downloaded. The module is the same core library as morvane-cli, compiled with its flags.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class cmake_build(build_ext):
    """Configures and builds the module target, then puts it where setuptools expects it."""

    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                               "-DMORVANE_DIALOG=OFF", "-DMORVANE_BENCH=OFF", "-DMORVANE_TESTS=OFF",
                               "-DMORVANE_MPI=OFF",
                               "-DPython3_EXECUTABLE=" + sys.executable])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "morvane_python",
                               "-j", str(os.cpu_count() or 1)])
        built = next((build / "python").glob("morvane*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="morvane",
    version="0.1",
    description="Two-lobed asteroid shapes fitted to lightcurves: the faceted model and the sweep",
    license="GPL-3.0-or-later",
    ext_modules=[Extension("morvane", sources=[])],
    cmdclass={"build_ext": cmake_build},
    zip_safe=False,
)
