"""The package's tests run on simulated cameras (kavri.testing)."""

import pytest

import kavri.testing
from kavri.testing import kavri_sim  # noqa: F401  (the fixture users get)


@pytest.fixture
def two_cams():
    """Two E2 cameras facing walls at 1.0 m and 2.5 m."""
    with kavri.testing.simulated(cameras=0) as sim:
        sim.plug("wall:1000", seed=1)
        sim.plug("wall:2500", seed=2)
        yield sim
