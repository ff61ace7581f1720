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


def text_starting(prefix):
    return lambda out: isinstance(out, str) and out.startswith(prefix)


NOT_SERIALIZABLE = (TypeError, " is not JSON serializable")

# (call, expected): a check of the result, or (exception type, message end).
CALLS = [
    # successes, including output beyond the stack region and every kind
    (lambda: quelt.dumps(BIG), text_starting('["\\u00e9')),
    (lambda: quelt.dumps(BIG, ensure_ascii=False, indent=2, sort_keys=True), text_starting('[\n  "\u00e9')),
    (lambda: quelt.dumps({1: 2**64, None: decimal.Decimal("1.5"), b"b": [b"x"]}, reject_bytes=False),
     lambda out: out == '{"1":18446744073709551616,"null":1.5,"b":["x"]}'),
    (lambda: quelt.dumps([Hooked(), object()], default=default_to_list, separators=("\u00e9", "\u00fc")),
     text_starting('[{"big"\u00fc1267650600228229401496703205376\u00e9"text"')),
    (lambda: quelt.dump({"a": "\ud800"}, io.StringIO(), ensure_ascii=False), lambda out: out is None),
    # failures at every stage
    (lambda: quelt.dumps(BIG + [object()]), NOT_SERIALIZABLE),
    (lambda: quelt.dumps(BIG + [object()], default=default_raises), (ValueError, "no")),
    (lambda: quelt.dumps([object()], default=self_returning), (TypeError, "maximum recursion depth exceeded")),
    (lambda: quelt.dumps({"a": [1], BadKey(): 2}), (KeyError, "'key'")),
    (lambda: quelt.dumps({"a": 1, 2: 3}, sort_keys=True), (TypeError, "not supported between instances of 'int' and 'str'")),
    (lambda: quelt.dumps([WrongToDict()]), (TypeError, "toDict() should return a dict, got list")),
    (lambda: quelt.dumps(BIG + [float("nan")], allow_nan=False), (OverflowError, "Invalid value when encoding double")),
    (lambda: quelt.dumps({b"\xc3": ["\u00e9" * 10]}), (OverflowError, "Unterminated UTF-8 sequence when encoding string")),
    (lambda: quelt.dumps(self_nested()), (OverflowError, "Maximum recursion level reached")),
    (lambda: quelt.dumps([1], separators=("\u00e9", 5)), (TypeError, "expected str as key separator")),
    (lambda: quelt.dumps([1], indent=1001), (ValueError, "Maximum allowed indentation is 1000")),
    (lambda: quelt.dumps(b"\xff", reject_bytes=False, ensure_ascii=False), (UnicodeDecodeError, "invalid start byte")),
    (lambda: quelt.dump([object()], io.StringIO()), NOT_SERIALIZABLE),
]


def run_all():
    for call, expected in CALLS:
        if callable(expected):
            assert expected(call())
            continue
        exc_type, message_end = expected
        try:
            call()
        except exc_type as exc:
            assert type(exc) is exc_type and str(exc).endswith(message_end), repr(exc)
        else:
            raise AssertionError(f"no {exc_type.__name__}")


def test_every_call_has_its_outcome():
    run_all()


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


def test_cached_keys_keep_their_reference_counts():
    # Far more distinct keys than the encoder's key cache holds, written
    # again and again, so that its entries are replaced: each key it took
    # must be given back exactly once, whether replaced or left at the end.
    keys = ["".join(["key", str(i)]) for i in range(1000)]
    records = [{key: n for key in keys[n % 7::7]} for n in range(40)]
    before = [sys.getrefcount(key) for key in keys]
    for options in ({}, {"sort_keys": True}, {"indent": 1}):
        quelt.dumps(records, **options)
    assert [sys.getrefcount(key) for key in keys] == before
