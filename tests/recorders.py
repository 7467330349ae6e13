"""Fakes shared by the client tests."""


class Recorder:
    """A logger that records what it is given and returns a value of its own for each line."""

    def __init__(self):
        self.lines = []

    def critical(self, text):
        self.lines.append(("critical", text))
        return ("critical", len(self.lines))

    def error(self, err):
        self.lines.append(("error", err))
        return ("error", len(self.lines))
