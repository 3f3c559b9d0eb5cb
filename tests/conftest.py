import os

os.environ.setdefault("MPLBACKEND", "Agg")

import pytest  # noqa: E402

pytest_plugins = ["pubchem_server"]


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    import matplotlib.pyplot as plt

    plt.close("all")
