"""Every Python example of docs/python.md, run as it stands against the package and a generated
scene: the 24 discs of the crowd scene tool and a video of the program's built-in scene."""
import pathlib
import re
import subprocess

import pytest

from support import HOST, scene_tool

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "python.md"


def blocks():
    text = DOC.read_text()
    return [(text[:m.start()].count("\n") + 2, m.group(1)) for m in re.finditer(r"```python\n(.*?)```", text, re.S)]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("docs")
    subprocess.run([HOST, "demo", "--procedure", "nop", "-o", "clip.mp4", "--quiet"], cwd=folder, check=True,
                   capture_output=True)
    subprocess.run([scene_tool(), str(folder)], check=True, capture_output=True)
    return folder


def imported(code):
    """The modules an example imports, and pandas for DataFrames."""
    names = {a or b for a, b in re.findall(r"^\s*import (\w+)|^\s*from (\w+)", code, re.M)}
    return names | ({"pandas"} if "as_frame=True" in code or "to_frame(" in code else set())


@pytest.mark.parametrize("line, code", blocks(), ids=[f"line{n}" for n, _ in blocks()])
def test_the_example_runs_as_it_stands(line, code, inputs, monkeypatch):
    for name in imported(code):
        pytest.importorskip(name)
    monkeypatch.chdir(inputs)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    exec(compile(code, f"{DOC}:{line}", "exec"), {"__name__": "__docs__"})
