"""A calculator to publish with lumo.

    lumo serve examples/calc.py            # in one terminal: publishes this module as "calc"
    lumo call calc.add 1 2                 # in another: prints 3
    lumo call calc.div 1 0                 # prints the error text, exits with status 1

From Python:

    from lumo.client import connect
    calc = connect("calc")
    calc.add(1, 2)                         # 3
    calc.div(1, 0)                         # an Exception instance, returned, not raised
"""
from __future__ import annotations


def add(a: float, b: float) -> float:
    return a + b


def sub(a: float, b: float) -> float:
    return a - b


def mul(a: float, b: float) -> float:
    return a * b


def div(a: float, b: float) -> float:
    return a / b


def total(*numbers: float, start: float = 0) -> float:
    """The sum of any number of arguments: lumo call calc.total 1 2 3 start=10"""
    return sum(numbers, start)
