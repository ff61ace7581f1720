import sys

import quelt


def test_import_keeps_gil_disabled():
    assert sys._is_gil_enabled() is False
