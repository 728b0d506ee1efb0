import pytest

from ostrelpy.bindings import _engine


@pytest.fixture(scope="session")
def engine():
    return _engine
