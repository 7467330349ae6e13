"""The README's commands and programs do what it says they do.

Every `lumo` command that the README shows is a valid command line; every Python block
compiles; and the quick start runs for real against `lumo serve examples/calc.py` on its
default port: each `$ lumo ...` line of a console block prints the lines below it, and each
Python block that is followed by a text block prints that text.
"""
from __future__ import annotations

import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

import pytest

from lumo.__main__ import parse_command_line
from lumo.ring import get_port
from netutil import accepts

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()
TIMEOUT = 60


def blocks() -> list[tuple[str, str]]:
    """The fenced blocks of the README, in order, as (language, text)."""
    return re.findall(r"^```(\w*)\n(.*?)^```$", README, re.MULTILINE | re.DOTALL)


def python_and_output() -> list[tuple[str, str]]:
    """The Python blocks whose next block is a text block: (program, what it prints)."""
    found = blocks()
    return [(program, shown) for (lang, program), (next_lang, shown) in zip(found, found[1:])
            if lang == "python" and next_lang == "text"]


def commands() -> list[str]:
    """The concrete `lumo` command lines: in sh and console blocks, and in inline code."""
    found = []
    for lang, text in blocks():
        for line in text.splitlines():
            if lang == "console" and line.startswith("$ "):
                found.append(line[2:])
            elif lang == "sh" and line.startswith("lumo "):
                found.append(line)
    for span in re.findall(r"`(lumo [^`]*)`", README):
        if not re.search(r"[A-Z]", span):  # templates such as `lumo port NAME` are no commands
            found.append(span)
    return found


def test_the_readme_shows_commands() -> None:
    assert len(commands()) >= 15
    assert {"python", "console", "text", "sh"} <= {lang for lang, _ in blocks()}


@pytest.mark.parametrize("line", sorted(set(commands())))
def test_every_command_parses(line: str) -> None:
    words = shlex.split(line, comments=True)
    try:
        args = parse_command_line(words[1:])
    except SystemExit:
        pytest.fail(f"not a valid command line: {line}")
    if args.command == "serve":
        assert (ROOT / args.target.partition(":")[0]).is_file(), line


def test_every_python_block_compiles() -> None:
    for lang, text in blocks():
        if lang == "python":
            compile(text, "README.md", "exec")


@pytest.fixture(scope="module")
def calc_on_its_port():
    port = get_port("calc")
    if accepts(port):
        pytest.skip(f"port {port}, the default port of calc, is taken")
    proc = subprocess.Popen([sys.executable, "-m", "lumo", "serve", "examples/calc.py"],
                            cwd=ROOT, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + TIMEOUT
        for _ in range(10_000):
            if accepts(port):
                break
            assert proc.poll() is None, "lumo serve examples/calc.py exited"
            assert time.monotonic() < deadline, "lumo serve examples/calc.py never listened"
            time.sleep(0.05)  # polling interval, bounded by the deadline
        yield port
    finally:
        proc.kill()
        proc.wait(timeout=TIMEOUT)


def run(argv: list[str]) -> str:
    done = subprocess.run(argv, cwd=ROOT, text=True, capture_output=True, timeout=TIMEOUT,
                          stdin=subprocess.DEVNULL)
    return done.stdout + done.stderr


def test_console_blocks_print_what_they_show(calc_on_its_port: int) -> None:
    checked = 0
    for lang, text in blocks():
        if lang != "console":
            continue
        for command, shown in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text, re.MULTILINE):
            words = shlex.split(command)
            assert words[0] == "lumo"
            assert run([sys.executable, "-m", "lumo", *words[1:]]) == shown, command
            checked += 1
    assert checked >= 5


def test_python_blocks_print_what_they_show(calc_on_its_port: int) -> None:
    pairs = python_and_output()
    assert len(pairs) >= 2
    for program, shown in pairs:
        assert run([sys.executable, "-c", program]) == shown, program
