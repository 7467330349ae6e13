"""The functions every benchmarked server publishes."""


def add(a, b):
    return a + b


def echo(x):
    return x
