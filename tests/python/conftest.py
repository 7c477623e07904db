import os

import hypothesis
import pytest

# Shared CI machines are slow and noisy: no per-example deadline, and a
# reproducible run that writes nothing into the checkout.
hypothesis.settings.register_profile(
    "project", deadline=None, database=None, print_blob=True, derandomize=False
)
hypothesis.settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "project"))


@pytest.fixture(scope="session")
def native():
    import velmorquist_proxy._native as module

    return module
