"""The Python package, built by the project's CMake: the extension (which takes in the pipeline
library) and the module it loads are copied into the package beside its Python code.

    python3 -m venv --system-site-packages env && env/bin/pip install --no-build-isolation .
    python3 -m build --no-isolation --wheel

AMBREVO_BUILD_DIR names a configured build folder to build in (make's build/); otherwise the
build goes to a folder of its own, configured for the package alone.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
# setuptools keeps its own folders there (setup.cfg).
(ROOT / "build" / "setuptools").mkdir(parents=True, exist_ok=True)
VERSION = re.search(r"project\(Ambrevo VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.environ.get("AMBREVO_BUILD_DIR")
        if not build:
            build = str(pathlib.Path(self.build_temp).resolve() / "cmake")
            configure = ["cmake", "-S", str(ROOT), "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                         f"-DPython3_EXECUTABLE={sys.executable}", "-DAMBREVO_TESTS=OFF", "-DAMBREVO_BENCH=OFF",
                         "-DAMBREVO_HOST=OFF"]
            if shutil.which("ccache"):
                configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
            subprocess.run(configure, check=True)
        jobs = os.environ.get("JOBS", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", build, "--target", "ambrevo_python", "-j", jobs], check=True)
        built = pathlib.Path(build) / "python" / "ambrevo"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(next(built.glob("_ambrevo.*.so")), target)
        shutil.copyfile(built / "Ambrevo.qorb", target.parent / "Ambrevo.qorb")


setup(
    version=VERSION,
    packages=["ambrevo"],
    package_dir={"": "python"},
    ext_modules=[Extension("ambrevo._ambrevo", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
