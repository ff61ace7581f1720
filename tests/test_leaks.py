"""Leaks: every error of the decoder and the encoder, and the main success
paths, repeated many times, leave the traced memory and the reference counts
of their inputs as they were."""
import decimal
import gc
import io
import sys
import time
import tracemalloc

import pytest

import quelt
from conftest import REAL_DOCUMENTS, real_document_bytes

REPS = 1000


def fresh(value):
    """A new, mortal copy of a str or bytes (literals are immortal in the
    free-threaded interpreter, so their reference counts say nothing)."""
    if isinstance(value, str):
        return (value + " ")[:-1]
    return bytes(bytearray(value))


def outcome(fn, expected):
    """Calls fn; expected is a result checker or (exception type, message)."""
    if isinstance(expected, tuple):
        exc_type, message = expected
        try:
            fn()
        except exc_type as exc:
            assert message is None or str(exc) == message, str(exc)
        else:
            raise AssertionError(f"{fn} did not raise {exc_type.__name__}")
    else:
        assert expected(fn())


def assert_no_leak(fn, expected, watched=(), reps=REPS, rounds=5, slack=4096, warmup=30, attempts=3):
    """Runs fn in rounds of calls and reads the traced memory after each
    round.  A leak raises the level in every round by at least the smallest
    object (32 bytes) per call; the free-threaded interpreter's late frees
    and filling caches make it climb for some rounds, by less each time.
    So the smallest rise of a round must stay below half the smallest object
    per call, plus slack.  The interpreter's own bookkeeping (queues of late
    frees, caches it grows) can still climb in every round of one
    measurement, by about as much whatever the round's length; a leak climbs
    in every measurement, in step with the calls.  So the rounds run again,
    up to `attempts` times and each time with twice the calls, before the
    check fails.  The reference counts of the watched objects must not
    move."""
    tracemalloc.start()
    try:
        # Warm up caches, free lists and lazily made attributes: at least
        # `warmup` calls and a twentieth of a second.
        started = time.perf_counter()
        calls = 0
        while calls < warmup or (calls < 2000 and time.perf_counter() - started < 0.05):
            outcome(fn, expected)
            calls += 1
        # Slow calls (deep documents, the sanitizer build) get fewer calls
        # per round; they make many objects each, so a leak still shows.
        per_call = (time.perf_counter() - started) / calls
        reps = max(min(reps, 100), min(reps, int(0.015 / max(per_call, 1e-9))))
        refcounts = [sys.getrefcount(obj) for obj in watched]
        for attempt in range(attempts):
            if attempt:
                reps *= 2
            levels = []
            gc.collect()
            for _ in range(rounds):
                for _ in range(reps):
                    outcome(fn, expected)
                gc.collect()
                levels.append(tracemalloc.get_traced_memory()[0])
            least = min(b - a for a, b in zip(levels, levels[1:]))
            if least < 16 * reps + slack:
                break
    finally:
        tracemalloc.stop()
    assert least < 16 * reps + slack, f"{least} bytes more per {reps} calls: {levels}"
    assert [sys.getrefcount(obj) for obj in watched] == refcounts


def test_the_check_sees_one_small_object_per_call():
    # A new float per call: 24 bytes on the default build, 32 on the
    # free-threaded one, and a list slot beside it.
    kept = []
    with pytest.raises(AssertionError, match="bytes more per"):
        assert_no_leak(lambda: kept.append(float(len(kept))), lambda _: True)
    kept.clear()
    held = object()
    with pytest.raises(AssertionError):
        assert_no_leak(lambda: kept.append(held), lambda _: True, watched=[held], reps=1, rounds=2)


def decode_error(message):
    return (quelt.JSONDecodeError, message)


# ---- decoder ---------------------------------------------------------------------------

DECODER_ERRORS = [
    ("", "Expected object or value"),
    ("[1] x", "Trailing data"),
    ("tru", "Unexpected character found when decoding 'true'"),
    ("fals", "Unexpected character found when decoding 'false'"),
    ("nul", "Unexpected character found when decoding 'null'"),
    ("Na", "Unexpected character found when decoding 'NaN'"),
    ("Inf", "Unexpected character found when decoding 'Infinity'"),
    ("-Inf", "Unexpected character found when decoding '-Infinity'"),
    ("[" * 1026, "Reached object decoding depth limit"),
    ('[{"a":[1,"x",' * 400 + "]", "Reached object decoding depth limit"),
    ("[1,]", "Unexpected character found when decoding array value (1)"),
    ('["a" "b"]', "Unexpected character found when decoding array value (2)"),
    ('{"a":[1,2],1:2}', "Key name of object must be 'string' when decoding 'object'"),
    ('{"a" 1}', "No ':' found when decoding object value"),
    ('{"a":1,}', "Unexpected character in found when decoding object value"),
    ('{"a":[1,{"b":2}] "c"}', "Unexpected character in found when decoding object value"),
    ('{["a"]:1,"b":[2,3]}', "Invalid JSON: object keys must be strings"),
    ('{"k":"abc', "Unmatched '\"' when decoding 'string'"),
    (b'["\xc3\x28"]', "Invalid UTF-8 continuation byte when decoding 'string'"),
    (b'"\xc0\x80"', "Overlong 2-byte UTF-8 sequence detected when decoding 'string'"),
    (b'"\xe0\x80\x80"', "Overlong 3-byte UTF-8 sequence detected when decoding 'string'"),
    (b'"\xf0\x80\x80\x80"', "Overlong 4-byte UTF-8 sequence detected when decoding 'string'"),
    (b'"\xf4\x90\x80\x80"', "Code point > U+10FFFF encountered whilst decoding 'string'"),
    (b'"\xff"', "Invalid UTF-8 sequence length when decoding 'string'"),
    (b'"\x80"', "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'"),
    ('"\\', "Unterminated escape sequence when decoding 'string'"),
    ('"\\x"', "Unrecognized escape sequence when decoding 'string'"),
    ('"\\u12', "Unterminated unicode escape sequence when decoding 'string'"),
    ('"\\u12G4"', "Unexpected character in unicode escape sequence when decoding 'string'"),
    # The same errors after the scratch buffer moved to the heap.
    ('["' + "\u00e9" * 400 + '", "\\x"]', "Unrecognized escape sequence when decoding 'string'"),
    ('{"' + "k" * 400 + '": "' + "\u00e9" * 300, "Unmatched '\"' when decoding 'string'"),
]


def as_inputs(doc):
    raw = doc.encode("utf-8") if isinstance(doc, str) else doc
    inputs = [fresh(raw), bytearray(raw)]
    try:
        inputs.append(fresh(raw.decode("utf-8")))
    except UnicodeDecodeError:
        pass
    return inputs


@pytest.mark.parametrize("doc, message", DECODER_ERRORS, ids=[m for _, m in DECODER_ERRORS])
def test_decoder_errors_do_not_leak(doc, message):
    # The kinds of input take turns over the rows; the next test runs every
    # kind through some of them.
    inputs = as_inputs(doc)
    value = inputs[DECODER_ERRORS.index((doc, message)) % len(inputs)]
    assert_no_leak(lambda: quelt.loads(value), decode_error(message), watched=[value])


@pytest.mark.parametrize("row", [0, 8, 16, 17, 20, 29, 30], ids=lambda i: DECODER_ERRORS[i][1])
def test_decoder_errors_do_not_leak_for_any_input_kind(row):
    doc, message = DECODER_ERRORS[row]
    for value in as_inputs(doc):
        assert_no_leak(lambda: quelt.loads(value), decode_error(message), watched=[value])


# Found by the leak check: the array parser returned on a ']' after a comma
# without releasing the members it had pushed on the member stack.
@pytest.mark.parametrize(
    "doc",
    [
        '["a",]',
        '{"k": ["a", 1.5, [2.5],]}',
        '[' + '"\\u00e9",' * 100 + '1,]',
    ],
    ids=["top-level", "in-object", "many-members"],
)
def test_trailing_comma_releases_the_members_read_so_far(doc):
    message = "Unexpected character found when decoding array value (1)"
    for value in as_inputs(doc):
        assert_no_leak(lambda: quelt.loads(value), decode_error(message), watched=[value])


@pytest.mark.parametrize(
    "doc, exc_type",
    [
        ("1" * 5000, ValueError),  # the interpreter's digit limit, inside the parse
        ("[1, 2, " + "9" * 5000 + "]", ValueError),
    ],
    ids=["digit-limit", "digit-limit-in-array"],
)
def test_interpreter_errors_during_parse_do_not_leak(doc, exc_type):
    for value in as_inputs(doc):
        assert_no_leak(lambda: quelt.loads(value), (exc_type, None), watched=[value])


@pytest.mark.parametrize(
    "arg, message",
    [
        (memoryview(b"[1]"), "Arbitrary bytes-like objects are no longer supported. Use either string, bytes, or bytearray."),
        (1.5, "Expected string, bytes, or bytearray"),
        (["[1]"], "Expected string, bytes, or bytearray"),
    ],
    ids=["memoryview", "float", "list"],
)
def test_argument_errors_do_not_leak(arg, message):
    assert_no_leak(lambda: quelt.loads(arg), (TypeError, message), watched=[arg])


def test_load_errors_do_not_leak():
    class NotCallable:
        read = 1

    class Raises:
        def read(self):
            raise OSError("disk")

    class Gives:
        def __init__(self, content):
            self.content = content

        def read(self):
            return self.content

    for fp, expected in [
        (object(), (TypeError, "expected file")),
        (NotCallable(), (TypeError, "expected file")),
        (Raises(), (OSError, "disk")),
        (Gives(fresh(b'{"a": [1,')), decode_error("Expected object or value")),
        (Gives(fresh("[1, 2]")), lambda v: v == [1, 2]),
        (Gives(bytearray(b'{"a": "\\u00e9"}')), lambda v: v == {"a": "\u00e9"}),
    ]:
        watched = [fp] + ([fp.content] if isinstance(fp, Gives) else [])
        assert_no_leak(lambda: quelt.load(fp), expected, watched=watched)
    fp = Gives("[1]")
    assert_no_leak(lambda: quelt.load(fp, obj=1), (TypeError, None), watched=[fp])


DECODER_SUCCESSES = [
    pytest.param('{"a": [1, 2.5, -3e-5, true, false, null, "x"], "b": {}}', id="mixed"),
    pytest.param('["' + "\u00e9" * 300 + '", {"\U0001F600": "\\ud83d\\ude00"}]', id="heap-scratch"),
    pytest.param('[18446744073709551616, -9223372036854775809, ' + "7" * 300 + "]", id="big-integers"),
    pytest.param('[NaN, Infinity, -Infinity, 1e400, -0.0]', id="special-floats"),
    pytest.param('{"a": 1, "a": [2], "a": {"b": 3}}', id="duplicate-keys"),
    pytest.param("[" * 1024 + "]" * 1024, id="deepest"),
    pytest.param('"\\ud800\\udc00\\udc00"', id="surrogates"),
]


@pytest.mark.parametrize("doc", DECODER_SUCCESSES)
def test_decoder_successes_do_not_leak(doc):
    expected = quelt.loads(doc)
    for value in as_inputs(doc.encode("utf-8", "surrogatepass")):
        assert_no_leak(lambda: quelt.loads(value), lambda v: repr(v) == repr(expected), watched=[value])


@pytest.mark.parametrize("name", REAL_DOCUMENTS)
def test_real_documents_do_not_leak(name):
    raw = real_document_bytes(name)
    # A leak of anything per value shows here as many kilobytes per call.
    assert_no_leak(lambda: quelt.loads(raw), lambda v: v is not None, watched=[raw], reps=1, rounds=5, warmup=2, slack=1 << 20)


# ---- encoder ---------------------------------------------------------------------------

class ToDict:
    def __init__(self, result, factory=None):
        self.result = result
        self.factory = factory

    def toDict(self):
        return self.factory() if self.factory else self.result


class RawJson:
    def __init__(self, result):
        self.result = result

    def __json__(self):
        return self.result


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")

    def __hash__(self):
        return 1


class Vanishing:
    """A key whose comparison removes another key from the dict being
    sorted, so the sorted walk finds it gone."""

    def __init__(self, name, victims):
        self.name = name
        self.victims = victims

    def __lt__(self, other):
        victims, self.victims = self.victims, None
        if victims:
            victims[0].pop(victims[1], None)
        return self.name < other.name

    def __hash__(self):
        return hash(self.name)

    def __str__(self):
        return self.name


def vanishing_dict():
    d = {}
    gone = Vanishing("c", None)
    d[Vanishing("b", None)] = 1
    d[Vanishing("a", (d, gone))] = 2
    d[gone] = 3
    return d


def self_list():
    value = [1, "x"]
    value.append(value)
    return value


def raising_default(obj):
    raise ValueError("refused " + type(obj).__name__)


def identity_default(obj):
    return obj


ENCODER_ERRORS = [
    pytest.param(lambda: ([self_list()], {}), (OverflowError, "Maximum recursion level reached"), id="recursion"),
    pytest.param(lambda: ([1.5, float("nan")], {"allow_nan": False}),
                 (OverflowError, "Invalid value when encoding double"), id="nan-refused"),
    pytest.param(lambda: ([decimal.Decimal("Infinity")], {"allow_nan": False}),
                 (OverflowError, "Invalid value when encoding double"), id="decimal-infinity-refused"),
    pytest.param(lambda: (["a", b"\xc3"], {"reject_bytes": False}),
                 (OverflowError, "Unterminated UTF-8 sequence when encoding string"), id="unterminated-utf8"),
    pytest.param(lambda: ({b"\xc3\x28": 1}, {}),
                 (OverflowError, "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string"),
                 id="bad-continuation-key"),
    pytest.param(lambda: ([b"\xe2\x28\xa1"], {"reject_bytes": False}),
                 (OverflowError, "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string"),
                 id="bad-continuation-3"),
    pytest.param(lambda: ([b"\xf0\x28\x80\x80"], {"reject_bytes": False}),
                 (OverflowError, "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"),
                 id="bad-continuation-4"),
    pytest.param(lambda: ([b"\xc0\x80"], {"reject_bytes": False}),
                 (OverflowError, "Overlong 2-byte UTF-8 sequence detected when encoding string"), id="overlong-2"),
    pytest.param(lambda: ([b"\xe0\x80\x80"], {"reject_bytes": False}),
                 (OverflowError, "Overlong 3-byte UTF-8 sequence detected when encoding string"), id="overlong-3"),
    pytest.param(lambda: ([b"\xf0\x80\x80\x80"], {"reject_bytes": False}),
                 (OverflowError, "Overlong 4-byte UTF-8 sequence detected when encoding string"), id="overlong-4"),
    pytest.param(lambda: ([b"\xf4\x90\x80\x80"], {"reject_bytes": False}),
                 (OverflowError, ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"), id="above-max"),
    pytest.param(lambda: ([b"\xf8"], {"reject_bytes": False}),
                 (OverflowError, "Unsupported UTF-8 sequence length when encoding string"), id="length"),
    pytest.param(lambda: ([b"\x80"], {"reject_bytes": False}), (UnicodeDecodeError, None), id="copied-stray-byte"),
    pytest.param(lambda: ({"k": b"\xff"}, {"reject_bytes": False, "ensure_ascii": False}),
                 (UnicodeDecodeError, None), id="unvalidated-bytes"),
    pytest.param(lambda: ([1, {2, 3}], {}), (TypeError, "{2, 3} is not JSON serializable"), id="not-serializable"),
    pytest.param(lambda: ([b"abc"], {}), (TypeError, "b'abc' is not JSON serializable"), id="bytes-rejected"),
    pytest.param(lambda: ([ToDict([1])], {}), (TypeError, "toDict() should return a dict, got list"), id="todict-list"),
    pytest.param(lambda: ([ToDict(None)], {}), (TypeError, "toDict() should return a dict, got NoneType"),
                 id="todict-none"),
    pytest.param(lambda: ([RawJson(5)], {}), (TypeError, "__json__() should return str or bytes, got int"),
                 id="json-int"),
    pytest.param(lambda: ([object()], {"default": identity_default}),
                 (TypeError, "maximum recursion depth exceeded"), id="default-budget"),
    pytest.param(lambda: ({"a": [object()]}, {"default": raising_default}),
                 (ValueError, "refused object"), id="default-raises"),
    pytest.param(lambda: ({BadStr(): 1}, {}), (RuntimeError, "no text"), id="key-str-raises"),
    pytest.param(lambda: ({"a": 1, 2: 3}, {"sort_keys": True}), (TypeError, None), id="sort-incomparable"),
    pytest.param(lambda: ([decimal.Decimal("sNaN")], {}), (ValueError, None), id="signaling-nan"),
    pytest.param(lambda: ([1], {"indent": 1001}), (ValueError, "Maximum allowed indentation is 1000"),
                 id="indent-limit"),
    pytest.param(lambda: ([1], {"separators": [",", ":"]}), (TypeError, "expected tuple or None as separator"),
                 id="separators-list"),
    pytest.param(lambda: ([1], {"separators": (",",)}), (ValueError, "expected tuple of size 2 as separator"),
                 id="separators-size"),
    pytest.param(lambda: ([1], {"separators": (1, ":")}), (TypeError, "expected str as item separator"),
                 id="separators-item"),
    pytest.param(lambda: ([1], {"separators": (",", 2)}), (TypeError, "expected str as key separator"),
                 id="separators-key"),
    pytest.param(lambda: ([1], {"separators": ("\u00e9,", "\ud800:"), "bogus": 1}), (TypeError, None),
                 id="unknown-keyword"),
    # Failures after the output moved off the stack region.
    pytest.param(lambda: (["x" * 70_000, float("inf")], {"allow_nan": False}),
                 (OverflowError, "Invalid value when encoding double"), id="failure-after-growth"),
    pytest.param(lambda: (["\u00e9" * 70_000, {3, 4}], {}), (TypeError, "{3, 4} is not JSON serializable"),
                 id="type-error-after-growth"),
]


def members(obj, depth=0):
    """The objects of an input graph whose reference counts are watched."""
    out = [obj]
    if depth < 3 and isinstance(obj, (list, tuple)):
        for item in obj:
            if item is not obj:
                out += members(item, depth + 1)
    elif depth < 3 and isinstance(obj, dict):
        for k, v in obj.items():
            out += members(k, depth + 1) + members(v, depth + 1)
    return out


@pytest.mark.parametrize("make, expected", ENCODER_ERRORS)
def test_encoder_errors_do_not_leak(make, expected):
    obj, options = make()
    watched = members(obj) + list(options.values())
    assert_no_leak(lambda: quelt.dumps(obj, **options), expected, watched=watched)
    sink = io.StringIO()
    assert_no_leak(lambda: quelt.dump(obj, sink, **options), expected, watched=watched + [sink])
    assert sink.getvalue() == ""  # nothing is written when encoding fails


def test_dump_file_errors_do_not_leak():
    class NotCallable:
        write = None

    class Raises:
        def write(self, text):
            raise OSError("full")

    obj = [1, "x"]
    for fp, expected in [
        (object(), (TypeError, "expected file")),
        (NotCallable(), (TypeError, "expected file")),
        (Raises(), (OSError, "full")),
    ]:
        assert_no_leak(lambda: quelt.dump(obj, fp), expected, watched=[obj, fp])


def every_kind():
    """One value of every kind the encoder writes, keys of every kind."""
    return {
        "ascii": "plain",
        "text": "\u00e9\u20ac\U0001F600\ud800<&>/\x00\x1f",
        "ints": [0, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63) - 1, 10**300],
        "floats": [1.5, -0.0, 1e16, 5e-324, float("nan"), float("inf")],
        "decimal": decimal.Decimal("1.10"),
        "tuple": (1, (2, 3)),
        "nested": {"a": [{"b": {}}]},
        7: "int key",
        2.5: "float key",
        None: "none key",
        True: "bool key",
        b"bytes": "bytes key",
        (1, 2): "tuple key",
        decimal.Decimal("3.30"): "decimal key",
        "\ud83d": "surrogate key",
        "todict": ToDict({"x": [1, 2]}),
        "raw": RawJson('{"raw": [1, 2]}'),
        "rawbytes": RawJson(b"[true]"),
        "default": {7, 8},
    }


def sorted_default(obj):
    return sorted(obj)


OPTION_SETS = [
    pytest.param({}, id="defaults"),
    pytest.param({"ensure_ascii": False}, id="utf8"),
    pytest.param({"indent": 4, "encode_html_chars": True, "escape_forward_slashes": False}, id="indent-html"),
    pytest.param({"indent": -1, "separators": (", ", ": "), "allow_nan": True}, id="separators"),
    pytest.param({"separators": ("\u00e9", "\ud800")}, id="non-ascii-separators"),
]


@pytest.mark.parametrize("options", OPTION_SETS)
def test_encoder_successes_do_not_leak(options):
    obj = every_kind()
    watched = members(obj) + list(obj) + [sorted_default]
    expected_text = quelt.dumps(obj, default=sorted_default, **options)
    assert_no_leak(
        lambda: quelt.dumps(obj, default=sorted_default, **options),
        lambda text: text == expected_text,
        watched=watched,
    )


def test_sorted_and_bytes_encoding_do_not_leak():
    obj = {"b": [b"x", "\u00e9"], "a": {"d": 1, "c": (2,)}, "\u00e9": None}
    watched = members(obj)
    assert_no_leak(
        lambda: quelt.dumps(obj, sort_keys=True, reject_bytes=False, indent=2),
        lambda text: text.startswith('{\n  "a"'),
        watched=watched,
    )


def test_sorted_walk_of_a_changing_dict_does_not_leak():
    # A comparison removes a key while the pairs are sorted: the walk writes
    # the snapshot taken before, and holds each pair while it does.
    obj = [ToDict(None, vanishing_dict)]
    assert_no_leak(
        lambda: quelt.dumps(obj, sort_keys=True),
        lambda text: text == '[{"a":2,"b":1,"c":3}]',
        watched=members(obj),
    )


def test_dump_success_does_not_leak():
    obj = every_kind()
    watched = members(obj)

    def run():
        sink = io.StringIO()
        assert quelt.dump(obj, sink, default=sorted_default, indent=2) is None
        return sink.getvalue()

    expected = run()
    assert_no_leak(run, lambda text: text == expected, watched=watched)


@pytest.mark.parametrize("name", REAL_DOCUMENTS)
def test_real_documents_round_trip_without_leaks(name):
    value = quelt.loads(real_document_bytes(name))
    expected = quelt.dumps(value)
    assert_no_leak(lambda: quelt.dumps(value), lambda text: text == expected, watched=[value],
                   reps=1, rounds=5, warmup=2, slack=1 << 20)
    assert_no_leak(lambda: quelt.dumps(value, ensure_ascii=False, sort_keys=True, indent=2),
                   lambda text: len(text) > len(expected), watched=[value], reps=1, rounds=5, warmup=2, slack=1 << 20)
