"""lumo: a small, fast remote-procedure-call package."""

__version__ = "0.1.0"
