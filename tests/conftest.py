import os
import sys
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")

# The tests use the installed build: the source folder of corvane_spectra at
# the repository root lacks its compiled extension, so the root (which
# "python -m pytest" puts first on sys.path) must not shadow the install.
_ROOT = Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != _ROOT]

import pytest  # noqa: E402
from hypothesis import settings  # noqa: E402

# The normal test run draws the same examples every time; a long fuzzing run
# (CORVANE_FUZZ_EXAMPLES) explores afresh.
settings.register_profile("repeatable", derandomize=True, database=None)
settings.register_profile("explore", database=None)
settings.load_profile("explore" if os.environ.get("CORVANE_FUZZ_EXAMPLES") else "repeatable")

pytest_plugins = ["pubchem_server"]


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    import matplotlib.pyplot as plt

    plt.close("all")
