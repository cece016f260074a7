"""The package as pip installs it: the wheel tests/python/installed.sh built (its path in
AMBREVO_WHEEL, the build's output in AMBREVO_BUILD_LOG), and the installs the docs advise against."""
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

WHEEL = os.environ.get("AMBREVO_WHEEL")
SOURCE = pathlib.Path(__file__).resolve().parents[2]
needs_wheel = pytest.mark.skipif(not WHEEL, reason="runs on the wheel installed.sh builds")


@needs_wheel
def test_the_wheel_is_stripped_typed_and_tells_who_and_where(tmp_path):
    with zipfile.ZipFile(WHEEL) as wheel:
        names = wheel.namelist()
        metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        wheel.extractall(tmp_path)
    assert {"ambrevo/py.typed", "ambrevo/_ambrevo.pyi", "ambrevo/Ambrevo.qorb"} <= set(names)
    for binary in ("ambrevo/Ambrevo.qorb", next(n for n in names if n.startswith("ambrevo/_ambrevo.") and n.endswith(".so"))):
        sections = subprocess.run(["readelf", "-S", "-W", str(tmp_path / binary)], capture_output=True, text=True,
                                  check=True).stdout
        assert ".debug_info" not in sections and ".symtab" not in sections, binary
    for field in ("Home-page: https://", "Author: ", "Author-email: ", "License: ", "Project-URL: Documentation"):
        assert any(line.startswith(field) for line in metadata.splitlines()), field
    assert sum(os.path.getsize(p) for p in tmp_path.rglob("*") if p.is_file()) < 8_000_000


@needs_wheel
def test_the_build_tells_its_progress():
    with open(os.environ["AMBREVO_BUILD_LOG"]) as log:
        told = [line for line in log if line.startswith("ambrevo: building the module and the extension")]
    assert told and told[-1].rstrip().endswith("100%")


def pip_install(environment, *arguments, lend=()):
    """pip of a fresh virtual environment, offline and without a terminal, on the source tree,
    with the packages `lend` copied in from Debian's; its exit status and output."""
    subprocess.run([sys.executable, "-m", "venv", *environment[1:], environment[0]], check=True)
    for package in lend:
        site = next(pathlib.Path(environment[0]).glob("lib/python*/site-packages"))
        found = pathlib.Path(__import__(package).__file__).parent
        for part in [found] + list(found.parent.glob(f"{package}-*-info")):
            shutil.copytree(part, site / part.name)
    pip = os.path.join(environment[0], "bin", "pip")
    done = subprocess.run([pip, "install", "--no-build-isolation", *arguments, str(SOURCE)], capture_output=True,
                          text=True, env=dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1"),
                          start_new_session=True)
    return done.returncode, done.stdout + done.stderr


@needs_wheel
def test_an_editable_install_is_refused_with_the_way_out_and_leaves_nothing(tmp_path):
    before = subprocess.run(["git", "status", "--porcelain", "--ignored", "python"], cwd=SOURCE, capture_output=True,
                            text=True).stdout
    status, said = pip_install((str(tmp_path / "env"), "--system-site-packages"), "-e")
    assert status != 0 and "editable install (pip install -e) is not offered" in said
    assert "pip install --no-build-isolation ." in said
    assert subprocess.run(["git", "status", "--porcelain", "--ignored", "python"], cwd=SOURCE, capture_output=True,
                          text=True).stdout == before


@needs_wheel
def test_an_environment_without_wheel_is_told_how_to_get_it(tmp_path):
    status, said = pip_install((str(tmp_path / "env"),))
    assert status != 0 and "needs the 'wheel' package" in said and "--system-site-packages" in said


@needs_wheel
def test_an_environment_without_numpy_is_told_before_pip_looks_for_it(tmp_path):
    status, said = pip_install((str(tmp_path / "env"),), "-v", lend=("wheel",))
    assert status != 0 and "ambrevo: numpy is not installed here" in said and "--system-site-packages" in said
