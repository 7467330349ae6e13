"""Fakes shared by the tests."""


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


class RecordingLog:
    """A stand-in for the server's Skrivo: records every line; critical returns a
    ConnectionError and error returns its argument, as the real logger does."""

    def __init__(self, *args, **kwds):
        self.made_with = (args, kwds)
        self.lines = []

    def info(self, text):
        self.lines.append(("info", text))

    def warning(self, text):
        self.lines.append(("warning", text))

    def critical(self, text):
        self.lines.append(("critical", text))
        return ConnectionError(text)

    def error(self, err):
        self.lines.append(("error", err))
        return err
