"""The demo that `python -m lumo demo` runs."""

import logging
import subprocess
import sys

from lumo import _demo


def test_demo_command_runs_and_prints_its_calls():
    done = subprocess.run([sys.executable, "-m", "lumo", "demo"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    for expected in ["calc.add(1, 2)               -> 3", "calc.power(2, exp=10)        -> 1024",
                     "calc.Counter(5)              -> Counter(5)",
                     "isinstance(result, Exception) is True: ZeroDivisionError in calc.div(1, 0): division by zero",
                     "calc.add x1", "calc.div x0"]:
        assert expected in out
    assert done.stderr == ""  # lumo's log lines are held back while the demo runs


def test_demo_main_restores_the_log_level(capsys):
    lumo_log = logging.getLogger("lumo")
    before = lumo_log.level
    assert _demo.main() == 0
    assert lumo_log.level == before
    assert "-> 42" in capsys.readouterr().out
