"""Every reference and buffer is released on success and on every failure:
repeated calls leave tracemalloc's traced memory flat."""
import decimal
import gc
import io
import sys
import tracemalloc

import pytest

import quelt


class BadKey:
    def __str__(self):
        raise KeyError("key")


class Hooked:
    def toDict(self):
        return {"big": 2**100, "text": "é" * 40, "raw": Raw()}


class Raw:
    def __json__(self):
        return "[\"é\"]"


class WrongToDict:
    def toDict(self):
        return ["not", "a", "dict"]


def default_to_list(obj):
    return ["defaulted", "ü" * 10, 2**65]


def default_raises(obj):
    raise ValueError("no")


def self_returning(obj):
    return obj


BIG = ["é" * 12000 + "x" * 60000, {"k" * 100: list(range(300))}]


def self_nested():
    a = []
    a.append(a)
    return a


CALLS = [
    # successes, including output beyond the stack region and every kind
    lambda: quelt.dumps(BIG),
    lambda: quelt.dumps(BIG, ensure_ascii=False, indent=2, sort_keys=True),
    lambda: quelt.dumps({1: 2**64, None: decimal.Decimal("1.5"), b"b": [b"x"]}, reject_bytes=False),
    lambda: quelt.dumps([Hooked(), object()], default=default_to_list, separators=("é", "ü")),
    lambda: quelt.dump({"a": "\ud800"}, io.StringIO(), ensure_ascii=False),
    # failures at every stage
    lambda: quelt.dumps(BIG + [object()]),
    lambda: quelt.dumps(BIG + [object()], default=default_raises),
    lambda: quelt.dumps([object()], default=self_returning),
    lambda: quelt.dumps({"a": [1], BadKey(): 2}),
    lambda: quelt.dumps({"a": 1, 2: 3}, sort_keys=True),
    lambda: quelt.dumps([WrongToDict()]),
    lambda: quelt.dumps(BIG + [float("nan")], allow_nan=False),
    lambda: quelt.dumps({b"\xc3": ["é" * 10]}),
    lambda: quelt.dumps(self_nested()),
    lambda: quelt.dumps([1], separators=("é", 5)),
    lambda: quelt.dumps([1], indent=1001),
    lambda: quelt.dumps(b"\xff", reject_bytes=False, ensure_ascii=False),
    lambda: quelt.dump([object()], io.StringIO()),
]


def run_all():
    for call in CALLS:
        try:
            call()
        except (TypeError, ValueError, OverflowError, KeyError):
            pass


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def growth_over(rounds):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        run_all()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def test_repeated_calls_leave_traced_memory_flat(traced):
    # The free-threaded interpreter frees some memory late and grows its
    # pools and tables for a while, so traced memory settles only gradually:
    # the growth per window falls towards zero.  A leak instead adds the same
    # amount in every window: one leaked small object per round is 3 KiB or
    # more per window, one leaked output block megabytes.
    windows = []
    for _ in range(20):
        windows.append(growth_over(100))
        if windows[-1] < 1024:
            break
    assert windows[-1] < 1024, windows


def test_inputs_keep_their_reference_counts():
    default = default_to_list
    separators = ("é", "ü")
    value = [Hooked(), object(), b"x", 2**80]
    key = BadKey()
    bad = {"a": [1], key: 2}
    before = [sys.getrefcount(o) for o in (default, separators, value, key, bad)]
    for _ in range(100):
        quelt.dumps(value, default=default, separators=separators)
        with pytest.raises(KeyError):
            quelt.dumps(bad, default=default, separators=separators)
        with pytest.raises(TypeError):
            quelt.dumps(value, separators=separators)
    after = [sys.getrefcount(o) for o in (default, separators, value, key, bad)]
    assert after == before
