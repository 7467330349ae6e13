import logging

import pytest


@pytest.fixture
def quiet_lumo():
    """Silences lumo's own log lines for tests whose point is not the log."""
    log = logging.getLogger("lumo")
    level = log.level
    log.setLevel(logging.CRITICAL + 1)
    yield
    log.setLevel(level)
