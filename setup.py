"""The Python package, built by the project's CMake: the extension (which takes in the pipeline
library) and the module it loads are copied, stripped, into the package beside its Python code.

    python3 -m venv --system-site-packages env && env/bin/pip install --no-build-isolation .
    python3 -m build --no-isolation --wheel

AMBREVO_BUILD_DIR names a configured build folder to build in (make's build/); otherwise the
build goes to a folder of its own, configured for the package alone. The build's progress goes
to the terminal (pip keeps a build's own output to itself unless -v), else to standard error.
"""
import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
VERSION = re.search(r"project\(Ambrevo VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)

ENVIRONMENT_HINT = """A virtual environment made with
    python3 -m venv --system-site-packages ENV
sees Debian's packages (apt-get install python3-wheel python3-numpy); or, with the network,
    ENV/bin/pip install wheel numpy"""


def refuse(why):
    sys.exit(f"ambrevo: {why}")


def check_environment():
    """What the build needs from the interpreter that runs it, told before anything is built."""
    commands = set(sys.argv[1:])
    if commands & {"develop", "editable_wheel"}:
        refuse("an editable install (pip install -e) is not offered: the package is built by CMake with the "
               "module inside it, which an editable install would not find. Install it with\n"
               "    pip install --no-build-isolation .\n"
               "and again after a change, or use the package make assembles: PYTHONPATH=build/python")
    if commands & {"bdist_wheel", "dist_info"}:
        try:  # setuptools finds the wheel command through the package's installed metadata
            importlib.metadata.distribution("wheel")
        except importlib.metadata.PackageNotFoundError:
            refuse("building the wheel needs the 'wheel' package, which this Python does not have.\n"
                   + ENVIRONMENT_HINT)
    if commands & {"bdist_wheel", "dist_info"}:
        try:  # told with the metadata, before pip looks for what the package requires
            import numpy  # noqa: F401
        except ImportError:
            progress("ambrevo: numpy is not installed here: pip looks for it next, which needs the network.\n"
                     + ENVIRONMENT_HINT)


def progress(text):
    """A line for whoever waits for the build: on the terminal when there is one."""
    try:
        with open("/dev/tty", "w") as terminal:
            terminal.write(text + "\n")
            return
    except OSError:
        pass
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def run_showing_progress(command, what):
    """Runs `command`, its output kept, telling its progress ("[ 42%]") at most every 5%; the
    output is shown when it fails."""
    progress(f"ambrevo: {what}")
    lines, told = [], -5
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as child:
        for line in child.stdout:
            lines.append(line)
            sys.stderr.write(line)
            share = re.match(r"\[\s*(\d+)%\]", line)  # make's; ninja's is [done/all]
            steps = re.match(r"\[(\d+)/(\d+)\]", line)
            percent = int(share.group(1)) if share else 100 * int(steps.group(1)) // int(steps.group(2)) if steps else -1
            if percent >= told + 5:
                told = percent
                progress(f"ambrevo: {what}: {told}%")
    if child.returncode != 0:
        progress("".join(lines[-40:]))
        raise subprocess.CalledProcessError(child.returncode, command)
    if 0 <= told < 100:  # a target's last step may come before make's count reaches 100%
        progress(f"ambrevo: {what}: 100%")


def strip(path):
    """Leaves out the debugging sections: the installed package a quarter of its size."""
    tool = shutil.which("strip")
    if tool:
        subprocess.run([tool, "--strip-unneeded", str(path)], check=True)


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
            run_showing_progress(configure, "configuring the build")
        jobs = os.environ.get("JOBS", str(os.cpu_count() or 1))
        run_showing_progress(["cmake", "--build", build, "--target", "ambrevo_python", "-j", jobs],
                             "building the module and the extension")
        built = pathlib.Path(build) / "python" / "ambrevo"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        for source, copy in ((next(built.glob("_ambrevo.*.so")), target), (built / "Ambrevo.qorb",
                                                                            target.parent / "Ambrevo.qorb")):
            shutil.copyfile(source, copy)
            strip(copy)
        progress("ambrevo: built")


check_environment()
# setuptools keeps its own folders there (setup.cfg).
(ROOT / "build" / "setuptools").mkdir(parents=True, exist_ok=True)
setup(
    version=VERSION,
    packages=["ambrevo"],
    package_dir={"": "python"},
    package_data={"ambrevo": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("ambrevo._ambrevo", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
    # pip show reads the home page from here; pyproject.toml lists the same address.
    url="https://c-seed-e438ce4d.example/ambrevo",
)
