import os
from pathlib import Path

import pytest

# The shared data sits beside the checkout; QUELT_SHARED overrides that.
SHARED = Path(os.environ.get("QUELT_SHARED", Path(__file__).resolve().parents[2] / "shared"))
BENCH_DATA = SHARED / "bench-data"
CORPUS = SHARED / "corpus"

REAL_DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json"]


@pytest.fixture(scope="session", params=REAL_DOCUMENTS)
def real_document(request):
    """(name, raw bytes) of one real-world document."""
    path = BENCH_DATA / request.param
    if not path.exists():
        pytest.skip(f"{path} not present")
    return request.param, path.read_bytes()
