import pytest

import korvex  # noqa: F401  (fail fast with a clear error when the module was not built)


@pytest.fixture
def tmp_prefix(tmp_path):
    """A fileset prefix inside a fresh temporary folder."""
    return str(tmp_path / "data")
