import numpy as np
import pytest

from Kalvoren._ckernels.diag import _diag


@pytest.fixture(scope="session")
def diag():
    return _diag


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
