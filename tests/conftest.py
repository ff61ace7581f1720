import gzip
from pathlib import Path

import pytest

import quelt

# Test data ships with the tests (origin and licences in data/README.md), so
# a copy of this directory is all a run needs, wherever it sits.
DATA = Path(__file__).resolve().parent / "data"
DOCUMENTS = DATA / "documents"

REAL_DOCUMENTS = ["twitter.json", "citm_catalog.json", "canada.json"]


def read_data(path):
    """Bytes of a data file, stored as is or gzip-compressed beside the name
    (`x.json` is read from `x.json.gz` when only that exists).  A missing
    file raises FileNotFoundError: absent data fails a test, never skips it."""
    path = Path(path)
    if path.exists():
        return path.read_bytes()
    packed = path.with_name(path.name + ".gz")
    if packed.exists():
        return gzip.decompress(packed.read_bytes())
    raise FileNotFoundError(f"{path} (or {packed.name}) is missing from the test data")


def real_document_bytes(name):
    return read_data(DOCUMENTS / name)


@pytest.fixture(scope="session", params=REAL_DOCUMENTS)
def real_document(request):
    """(name, raw bytes) of one real-world document."""
    return request.param, real_document_bytes(request.param)


def pytest_report_header(config):
    # Which build is under test: the source tree's install or a wheel's.
    return f"quelt {quelt.__version__} from {quelt.__file__}"
