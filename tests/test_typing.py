"""The type stubs: installed with the package, accepted by mypy --strict, and strict enough to
catch a wrong call."""
from __future__ import annotations

import importlib.resources
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
STUBS = ("server.pyi", "client.pyi", "ring.pyi", "kelto.pyi", "py.typed")

pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory: pytest.TempPathFactory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*paths: str | Path) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
             "--cache-dir", str(cache), *map(str, paths)],
            cwd=ROOT, text=True, capture_output=True, timeout=600, stdin=subprocess.DEVNULL)

    return run


def test_the_stubs_are_part_of_the_package() -> None:
    package = importlib.resources.files("lumo")
    missing = [name for name in STUBS if not package.joinpath(name).is_file()]
    assert not missing, f"not installed with lumo: {missing}"


def test_the_typed_example_and_the_command_line_pass_strict(mypy) -> None:
    source = ROOT / "src" / "lumo"
    done = mypy("examples/typed_program.py", source / "__main__.py",
                *(source / name for name in STUBS if name.endswith(".pyi")))
    assert done.returncode == 0, done.stdout + done.stderr


def test_wrong_calls_are_type_errors(mypy, tmp_path: Path) -> None:
    program = tmp_path / "wrong.py"
    program.write_text(
        "from lumo.client import _RemoteClass, _RemoteMethod, connect\n"
        "from lumo.ring import get_port\n"
        "from lumo.server import serve\n"
        "def f() -> None: ...\n"
        "serve(f, port='80')\n"                                         # line 5
        "serve(f, 'f', thread=True, daemon=True)\n"                     # line 6
        "method: _RemoteMethod = connect('calc')\n"                     # line 7
        "klass: _RemoteClass = connect('calc', types='function')\n"     # line 8
        "name: str = get_port('calc')\n"                                # line 9
        "fine: _RemoteMethod = connect('calc').add\n"                   # line 10: no error
        "also: _RemoteMethod = connect('calc', '127.0.0.1', 0, 1.0, 'f')\n"  # line 11: no error
    )
    done = mypy(program)
    lines = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert lines == {5, 6, 7, 8, 9}, done.stdout


def test_the_stubs_match_the_extension_modules(tmp_path: Path) -> None:
    # stubtest imports the modules and compares every name and signature with the stubs.
    # Connection, Encoder and Decoder are C types that Python classes cannot share a layout
    # with; newer mypy wants that marked in the stub, which older ones cannot read: they are
    # let through here.
    allow = tmp_path / "allowlist.txt"
    allow.write_text("lumo.ring.Connection\nlumo.ring.Encoder\nlumo.ring.Decoder\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "lumo.server", "lumo.client", "lumo.ring",
         "lumo.kelto", "--allowlist", str(allow), "--ignore-unused-allowlist"],
        cwd=tmp_path, text=True, capture_output=True, timeout=600, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_public_names_of_the_stubs_carry_docstrings() -> None:
    import ast

    missing = []
    for name in STUBS:
        if not name.endswith(".pyi"):
            continue
        tree = ast.parse((ROOT / "src" / "lumo" / name).read_text())
        scopes = [tree.body] + [node.body for node in tree.body if isinstance(node, ast.ClassDef)]
        for scope in scopes:
            for node in scope:
                public = not node.name.startswith("_") or node.name in ("__call__", "__getattr__", "__new__") \
                    if isinstance(node, (ast.ClassDef, ast.FunctionDef)) else False
                if public and ast.get_docstring(node) is None:
                    missing.append(f"{name}: {node.name}")
    assert not missing, missing
