"""Hostile inputs: nesting far past the limit on small thread stacks, huge
strings and numbers, every invalid UTF-8 class at every position, and the
inputs that fuzzing once found.  Each gets its exact message (or the
interpreter's own error), never a crash, and memory stays in proportion to
the input."""
import math
import os
import subprocess
import sys
import threading
import tracemalloc
from pathlib import Path

import pytest

import quelt

DEPTH = "Reached object decoding depth limit"
EXPECTED_VALUE = "Expected object or value"
TRAILING = "Trailing data"
UNMATCHED = "Unmatched '\"' when decoding 'string'"
CONTINUATION = "Invalid UTF-8 continuation byte when decoding 'string'"
OVERLONG2 = "Overlong 2-byte UTF-8 sequence detected when decoding 'string'"
OVERLONG3 = "Overlong 3-byte UTF-8 sequence detected when decoding 'string'"
OVERLONG4 = "Overlong 4-byte UTF-8 sequence detected when decoding 'string'"
ABOVE_MAX = "Code point > U+10FFFF encountered whilst decoding 'string'"
NO_SEQUENCE = "Invalid UTF-8 sequence length when decoding 'string'"
STRAY = "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'"
RECURSION = "Maximum recursion level reached"

# The deepest accepted document needs about 128 KiB of stack to decode and
# about 512 KiB to encode in a release build; the sanitizer build needs about
# four times that.  These sizes leave room while still catching a recursion
# without limit or frames that grew out of proportion.
SMALL_STACK = (4 << 20) if os.environ.get("QUELT_SANITIZED") else (1 << 20)


def on_small_stack(fn, *args, **kwargs):
    """Runs fn in a thread whose stack is SMALL_STACK bytes; returns its
    result or re-raises its exception."""
    outcome = {}

    def run():
        try:
            outcome["value"] = fn(*args, **kwargs)
        except BaseException as exc:  # handed to the calling thread
            outcome["error"] = exc

    previous = threading.stack_size(SMALL_STACK)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def decode_error(doc):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(doc)
    return info.value.args


def as_inputs(text):
    """The same document as str, bytes and bytearray."""
    raw = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text
    return [raw.decode("utf-8", "surrogatepass"), raw, bytearray(raw)]


# ---- nesting -----------------------------------------------------------------

MILLION = 1_000_000

DEEP_DOCUMENTS = [
    pytest.param("[" * MILLION, DEPTH, id="million-open-arrays"),
    pytest.param("{" * MILLION, DEPTH, id="million-open-braces"),  # each key opens the next
    pytest.param('{"":' * MILLION, DEPTH, id="million-open-objects"),
    pytest.param('[{"a":' * (MILLION // 2), DEPTH, id="alternating"),
    pytest.param("[" * 1024 + "1" + "]" * MILLION, TRAILING, id="million-closers-after-limit"),
    pytest.param("]" * MILLION, EXPECTED_VALUE, id="million-closers"),
    pytest.param("[" * 1026 + "]" * 1026, DEPTH, id="one-past-limit-closed"),
    pytest.param("[" * 1023 + "[" * MILLION, DEPTH, id="limit-then-million"),
]


@pytest.mark.parametrize("text, message", DEEP_DOCUMENTS)
def test_deep_nesting_stops_at_limit_on_small_stack(text, message):
    for doc in as_inputs(text):
        args = on_small_stack(decode_error, doc)
        assert args == (message,)


@pytest.mark.parametrize("opener, closer", [("[", "]"), ('{"k":', "}")], ids=["arrays", "objects"])
def test_deepest_accepted_document_on_small_stack(opener, closer):
    doc = opener * 1024 + '"leaf"' + closer * 1024
    value = on_small_stack(quelt.loads, doc)
    for _ in range(1024):
        value = value[0] if isinstance(value, list) else value["k"]
    assert value == "leaf"


def test_many_deep_siblings_do_not_accumulate_depth():
    chain = "[" * 1024 + "]" * 1024
    doc = "[" + ",".join([chain[1:-1]] * 200) + "]"
    assert len(on_small_stack(quelt.loads, doc)) == 200


# ---- nesting across calls and small thread stacks -------------------------------------------

# Each case runs in a fresh interpreter, as a stack overflow kills the
# process.  The bound on nesting holds across nested calls (a hook that calls
# quelt again) and within the stack of the calling thread: the outcome is a
# result or RecursionError, never a crash.
NESTING_PRELUDE = """if True:
    import os, threading, quelt
    SANITIZED = bool(os.environ.get("QUELT_SANITIZED"))

    def nested(depth, dicts=False):
        value = {} if dicts else []
        for _ in range(depth):
            value = {"k": value} if dicts else [value]
        return value

    def on_stack(size, fn):
        outcome = []
        threading.stack_size(size)
        def run():
            try:
                outcome.append(fn())
            except RecursionError:
                outcome.append("RecursionError")
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        threading.stack_size(0)
        return outcome[0]

    class Hook:
        pass
"""

NESTING_CASES = {
    "dumps-nested-through-default": """
        def default(obj):
            return quelt.dumps([nested(1000), Hook()], default=default)
        try:
            quelt.dumps([Hook()], default=default)
        except RecursionError:
            print("ok")
    """,
    "dumps-and-loads-nested-through-default": """
        text = "[" * 1000 + "]" * 1000
        def default(obj):
            return [quelt.loads(text), quelt.dumps([Hook()], default=default)]
        try:
            quelt.dumps([Hook()], default=default)
        except RecursionError:
            print("ok")
    """,
    "default-on-a-scalar-past-a-raised-recursion-limit": """
        import sys
        sys.setrecursionlimit(1_000_000)
        def default(obj):
            return quelt.dumps(obj, default=default)
        try:
            quelt.dumps(Hook(), default=default)
        except RecursionError:
            pass
        assert on_stack(256 * 1024, lambda: quelt.dumps(Hook(), default=default)) == "RecursionError"
        print("ok")
    """,
    "nested-calls-on-a-small-stack": """
        def default(obj):
            return quelt.dumps([nested(100), Hook()], default=default)
        assert on_stack(256 * 1024, lambda: quelt.dumps(Hook(), default=default)) == "RecursionError"
        print("ok")
    """,
    "1000-levels-in-256-KiB": """
        for dicts in (False, True):
            text = quelt.dumps(nested(1000, dicts))
            fits = (on_stack(256 * 1024, lambda: quelt.dumps(nested(1000, dicts))),
                    on_stack(256 * 1024, lambda: quelt.dumps(quelt.loads(text))))
            assert fits == (text, text) or SANITIZED, fits
        print("ok")
    """,
    "smallest-call-in-32-KiB": """
        assert on_stack(32 * 1024, lambda: (quelt.dumps([1]), quelt.loads("[1]"))) == ("[1]", [1])
        print("ok")
    """,
    "deep-data-on-a-64-KiB-stack": """
        text = "[" * 1000 + "]" * 1000
        assert on_stack(64 * 1024, lambda: quelt.dumps(nested(1000))) == "RecursionError"
        assert on_stack(64 * 1024, lambda: quelt.loads(text)) == "RecursionError"
        print("ok")
    """,
}


# ThreadSanitizer's instrumentation and runtime take stack of their own that
# no margin for ordinary frames allows for; these limits are checked by the
# normal and the AddressSanitizer runs.
@pytest.mark.skipif(bool(os.environ.get("QUELT_TSAN")), reason="stack sizes under ThreadSanitizer")
@pytest.mark.parametrize("code", NESTING_CASES.values(), ids=NESTING_CASES.keys())
def test_nesting_never_overflows_the_stack(code):
    import textwrap

    source = NESTING_PRELUDE + textwrap.indent(textwrap.dedent(code), "    ")
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr[-2000:]


# ---- long strings, bounded memory --------------------------------------------------

def traced_peak(fn, *args):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        result = fn(*args)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return result, peak


def loads_or_error(doc):
    try:
        return quelt.loads(doc)
    except (quelt.JSONDecodeError, ValueError) as exc:
        return exc


# A generous bound: input, 4-byte scratch per code point with doubling slack,
# the result, plus a constant.  Quadratic growth or a copy per character
# would overshoot it by far.
def memory_bound(size):
    return 16 * size + (1 << 20)


BIG = 8 * 1024 * 1024


class Message(str):
    """An expected JSONDecodeError message, as opposed to an expected str."""


LONG_STRING_DOCUMENTS = [
    pytest.param(b'"' + b"a" * BIG + b'"', "a" * BIG, id="ascii"),
    pytest.param(b'"' + "\u00e9".encode() * (BIG // 2) + b'"', "\u00e9" * (BIG // 2), id="two-byte"),
    pytest.param(b'"' + "\U0001F600".encode() * (BIG // 4) + b'"', "\U0001F600" * (BIG // 4),
                 id="four-byte"),
    pytest.param(b'"' + b"\\n" * (BIG // 2) + b'"', "\n" * (BIG // 2), id="escapes"),
    pytest.param(b'"' + b"\\ud83d\\ude00" * (BIG // 12) + b'"', "\U0001F600" * (BIG // 12),
                 id="surrogate-pairs"),
    pytest.param(b'{"' + b"k" * BIG + b'": 1}', {"k" * BIG: 1}, id="long-key"),
    pytest.param(b'"' + b"a" * BIG, Message(UNMATCHED), id="unterminated"),
    pytest.param(b'"' + "\u00e9".encode() * (BIG // 2), Message(UNMATCHED), id="unterminated-two-byte"),
    pytest.param(b'"' + b"a" * BIG + b"\xff\"", Message(NO_SEQUENCE), id="bad-byte-at-end"),
    pytest.param(b'"' + b"a" * BIG + b"\xc3", Message(CONTINUATION), id="cut-sequence-at-end"),
    pytest.param(b'"' + b"a" * BIG + b"\\",
                 Message("Unterminated escape sequence when decoding 'string'"), id="backslash-at-end"),
    pytest.param(b'"' + b"a" * BIG + b"\\u00",
                 Message("Unterminated unicode escape sequence when decoding 'string'"),
                 id="unicode-escape-cut-at-end"),
]


@pytest.mark.parametrize("doc, expected", LONG_STRING_DOCUMENTS)
def test_long_strings_with_bounded_memory(doc, expected):
    result, peak = traced_peak(loads_or_error, doc)
    if isinstance(expected, Message):
        assert isinstance(result, quelt.JSONDecodeError)
        assert result.args == (expected,)
    else:
        assert result == expected
    assert peak < memory_bound(len(doc))


def test_many_long_strings_in_one_document():
    # Each string is decoded in the same scratch buffer after it has grown.
    parts = ["x" * 100_000, "\u00e9" * 50_000, "\U0001F600" * 30_000, "", "\ud800" * 1000]
    doc = "[" + ",".join('"' + p + '"' for p in parts) + "]"
    result, peak = traced_peak(quelt.loads, doc.encode("utf-8", "surrogatepass"))
    assert result == parts
    assert peak < memory_bound(len(doc.encode("utf-8", "surrogatepass")))


# ---- long numbers and huge exponents -----------------------------------------------

LIMIT = sys.get_int_max_str_digits()

LONG_FLOATS = [
    pytest.param("0." + "1" * MILLION, id="million-fraction-digits"),
    pytest.param("1" * MILLION + ".5", id="million-integer-digits-to-infinity"),
    pytest.param("0." + "0" * MILLION + "1", id="underflow-by-zeros"),
    pytest.param("1" + "0" * 400 + "e-400", id="mantissa-cancels-exponent"),
    pytest.param("4.9406564584124654" + "0" * 5000 + "1e-324", id="halfway-plus-tiny"),
    pytest.param("1e" + "9" * 1000, id="thousand-digit-exponent"),
    pytest.param("1e-" + "9" * 1000, id="thousand-digit-negative-exponent"),
    pytest.param("-1e" + "9" * 1000, id="negative-infinity"),
    pytest.param("0e" + "9" * 1000, id="zero-huge-exponent"),
    pytest.param("1e2147483647", id="int-max-exponent"),
    pytest.param("1e2147483648", id="int-max-exponent-plus-one"),
    pytest.param("1e-2147483648", id="int-min-exponent"),
    pytest.param("1e-2147483649", id="int-min-exponent-minus-one"),
    pytest.param("1e4294967296", id="exponent-wraps-32-bits"),
    pytest.param("1e18446744073709551617", id="exponent-wraps-64-bits"),
    pytest.param("0.0000001e7", id="small-mantissa-exponent"),
    pytest.param("2.2250738585072011e-308", id="slow-path-subnormal-boundary"),
    pytest.param("1.7976931348623158e308", id="rounds-to-max-double"),
    pytest.param("1.7976931348623159e308", id="rounds-to-infinity"),
]


@pytest.mark.parametrize("text", LONG_FLOATS)
def test_long_and_extreme_floats_are_correctly_rounded(text):
    expected = float(text)
    for doc in (text, "[" + text + "]"):
        got = quelt.loads(doc)
        if isinstance(got, list):
            got = got[0]
        assert type(got) is float
        assert math.copysign(1, got) == math.copysign(1, expected)
        assert got == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("9" * LIMIT, int("9" * LIMIT)),
        ("-" + "9" * LIMIT, -int("9" * LIMIT)),
        # Leading zeros add nothing: the value fits 64 bits and never meets
        # the interpreter's digit limit.
        ("0" * MILLION + "7", 7),
        ("0" * MILLION + "18446744073709551615", 18446744073709551615),
    ],
    ids=["limit-digits", "negative-limit-digits", "million-leading-zeros", "zeros-then-big"],
)
def test_integers_at_the_digit_limit(text, expected):
    assert quelt.loads(text) == expected
    assert quelt.loads("[" + text + "]") == [expected]


@pytest.mark.parametrize(
    "text",
    ["1" * MILLION, "-" + "1" * MILLION, "[" + "2" * (LIMIT + 1) + "]", '{"a":' + "3" * MILLION + "}"],
    ids=["million-digits", "negative-million-digits", "in-array", "in-object"],
)
def test_integers_past_the_digit_limit_raise_the_interpreters_error(text):
    _, peak = traced_peak(loads_or_error, text)
    with pytest.raises(ValueError) as info:
        quelt.loads(text)
    assert type(info.value) is ValueError
    assert peak < memory_bound(len(text))


# ---- invalid UTF-8: every class, every position ---------------------------------------

# (sequence, message).  The message follows from the sequence alone: every
# row either contains the offending byte or stops inside a sequence, where
# whatever follows (a letter, the closing quote, the end of input) is no
# continuation byte.
INVALID_UTF8 = [
    (b"\xc0\x80", OVERLONG2),
    (b"\xc1\xbf", OVERLONG2),
    (b"\xc0", CONTINUATION),  # continuation is tested before the overlong lead
    (b"\xc3", CONTINUATION),
    (b"\xc3\x28", CONTINUATION),
    (b"\xc3\xc3", CONTINUATION),
    (b"\xe2", CONTINUATION),
    (b"\xe2\x82", CONTINUATION),
    (b"\xe2\x28\xa1", CONTINUATION),
    (b"\xe2\x82\x28", CONTINUATION),
    (b"\xe0\x80", CONTINUATION),
    (b"\xe0\x80\x80", OVERLONG3),
    (b"\xe0\x9f\xbf", OVERLONG3),
    (b"\xf0", CONTINUATION),
    (b"\xf0\x90", CONTINUATION),
    (b"\xf0\x90\x80", CONTINUATION),
    (b"\xf0\x28\x80\x80", CONTINUATION),
    (b"\xf0\x90\x28\x80", CONTINUATION),
    (b"\xf0\x90\x80\x28", CONTINUATION),
    (b"\xf0\x80\x80\x80", OVERLONG4),
    (b"\xf0\x8f\xbf\xbf", OVERLONG4),
    (b"\xf4\x90\x80\x80", ABOVE_MAX),
    (b"\xf4\xbf\xbf\xbf", ABOVE_MAX),
    (b"\xf5", ABOVE_MAX),
    (b"\xf6\x80\x80\x80", ABOVE_MAX),
    (b"\xf7\xbf", ABOVE_MAX),
    *[(bytes([b]), NO_SEQUENCE) for b in range(0xF8, 0x100)],
    *[(bytes([b]), STRAY) for b in (0x80, 0x9F, 0xA0, 0xBF)],
]

# Lengths that put the sequence in the inline scratch region, across its
# end (256 code points) and past it.
SWEEP_LENGTH = 300


def sweep_documents(seq, prefix=b"", suffix=b""):
    """Yields documents with seq inside a string at every position, followed
    by more text and the closing quote, and finally as the last bytes of the
    whole input."""
    for i in range(SWEEP_LENGTH + 1):
        body = b"a" * i + seq + b"b" * (SWEEP_LENGTH - i)
        yield prefix + b'"' + body + b'"' + suffix
    for i in (0, 1, 255, 256, SWEEP_LENGTH):
        yield prefix + b'"' + b"a" * i + seq


CONTEXTS = [
    pytest.param(b"", b"", id="top-level"),
    pytest.param(b'{"k":', b"}", id="value"),
    pytest.param(b"{", b":1}", id="key"),
    pytest.param(b'["' + "\u00e9".encode() * 300 + b'",', b"]", id="after-grown-scratch"),
    pytest.param(b'["\\n",', b"]", id="after-escaped-string"),
]


@pytest.mark.parametrize("prefix, suffix", CONTEXTS)
@pytest.mark.parametrize("seq, message", INVALID_UTF8, ids=lambda v: v.hex() if isinstance(v, bytes) else None)
def test_invalid_utf8_at_every_position(seq, message, prefix, suffix):
    for doc in sweep_documents(seq, prefix, suffix):
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(doc)
        assert info.value.args == (message,), doc
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(bytearray(doc))
        assert info.value.args == (message,)


VALID_SEQUENCES = [
    pytest.param("\u00e9", id="two-byte"),
    pytest.param("\u20ac", id="three-byte"),
    pytest.param("\U0001F600", id="four-byte"),
    pytest.param("\U0010FFFF", id="highest"),
    pytest.param("\ud800", id="raw-high-surrogate"),
    pytest.param("\udfff", id="raw-low-surrogate"),
    pytest.param("\x00", id="escaped-nul"),
]


@pytest.mark.parametrize("char", VALID_SEQUENCES)
def test_valid_sequences_at_every_position(char):
    encoded = char.encode("utf-8", "surrogatepass") if char != "\x00" else b"\\u0000"
    for i in range(SWEEP_LENGTH + 1):
        body = b"a" * i + encoded + b"b" * (SWEEP_LENGTH - i)
        expected = "a" * i + char + "b" * (SWEEP_LENGTH - i)
        assert quelt.loads(b'"' + body + b'"') == expected
        assert quelt.loads(b'["' + body + b'","' + body + b'"]') == [expected, expected]


@pytest.mark.parametrize("cut", range(1, 5))
def test_unicode_escape_cut_at_every_digit(cut):
    escape = b"\\u00e9"[: cut + 1]  # backslash, 'u' and cut - 1 digits
    for i in (0, 1, 255, 256, 300):
        doc = b'"' + b"a" * i + escape
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(doc)
        assert info.value.args == ("Unterminated unicode escape sequence when decoding 'string'",)


# ---- encoder ---------------------------------------------------------------------------

def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


def self_list():
    value = [1]
    value.append(value)
    return value


def self_dict():
    value = {"a": 1}
    value["self"] = value
    return value


def dumps_error(obj, **options):
    with pytest.raises(OverflowError) as info:
        quelt.dumps(obj, **options)
    return info.value.args


@pytest.mark.parametrize(
    "make",
    [
        lambda: nested_list(MILLION),
        lambda: nested_dict(MILLION),
        lambda: (lambda t: [t])(tuple(nested_list(2000))),
        self_list,
        self_dict,
    ],
    ids=["million-lists", "million-dicts", "tuples-and-lists", "list-holds-itself", "dict-holds-itself"],
)
@pytest.mark.parametrize("indent", [0, 4])
def test_encoder_depth_limit_on_small_stack(make, indent):
    obj = make()
    assert on_small_stack(dumps_error, obj, indent=indent) == (RECURSION,)


def test_encoder_deepest_accepted_on_small_stack():
    text = on_small_stack(quelt.dumps, nested_list(1024))
    assert text == "[" * 1025 + "]" * 1025


def test_default_that_nests_forever_stops_at_depth_limit():
    class Endless:
        pass

    calls = []

    def default(obj):
        calls.append(obj)
        return [Endless()]

    assert on_small_stack(dumps_error, Endless(), default=default) == (RECURSION,)
    assert len(calls) <= 1026


@pytest.mark.parametrize(
    "value",
    [
        pytest.param("a" * BIG, id="ascii"),
        pytest.param("\u00e9" * (BIG // 2), id="two-byte"),
        pytest.param("\U0001F600" * (BIG // 4), id="four-byte"),
        # The interpreter's surrogatepass handler is slow per character.
        pytest.param("\ud800" * (BIG // 64), id="lone-surrogates"),
        pytest.param('"\\/<&>\x01' * (BIG // 8), id="all-escapes"),
        pytest.param({"k" * BIG: "v"}, id="long-key"),
        pytest.param(["x" * 1000] * 10_000, id="many-strings"),
    ],
)
@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_encoder_long_values_with_bounded_memory(value, ensure_ascii):
    options = dict(ensure_ascii=ensure_ascii, encode_html_chars=True)
    text, peak = traced_peak(lambda: quelt.dumps(value, **options))
    assert quelt.loads(text) == value
    # Output is at most 12 bytes per input character (a surrogate pair).
    size = len(value) if isinstance(value, str) else BIG
    assert peak < 16 * 12 * size + (1 << 20)


# After a big output the buffer grows eightfold toward that length.  Where
# address space is short, a step the hint asks for may fail while the plain
# doubling still fits: the output must still be made.  The sanitizers
# reserve address space of their own, so the limit means nothing there.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or bool(os.environ.get("QUELT_TSAN")),
                    reason="address-space limit under a sanitizer")
def test_encoder_growth_falls_back_to_doubling_when_memory_is_short():
    source = """
import resource, quelt
quelt.dumps(["x" * (200 << 20)])  # the next outputs grow toward 200 MB
def address_space():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
doc = ["y" * 1000] * 20000
limit = address_space() + (90 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
print(len(quelt.dumps(doc)))
"""
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "20060001\n"), done.stderr[-2000:]


@pytest.mark.parametrize(
    "value",
    [10 ** (LIMIT - 1), -(10 ** (LIMIT - 1)), 2**64, -(2**63) - 1],
    ids=["limit-digits", "negative-limit-digits", "two-to-64", "below-int64"],
)
def test_encoder_big_integers_round_trip(value):
    assert quelt.loads(quelt.dumps([value])) == [value]


def test_encoder_integer_past_digit_limit_raises_interpreters_error():
    sys.set_int_max_str_digits(0)
    try:
        huge = 10**LIMIT
    finally:
        sys.set_int_max_str_digits(LIMIT)
    with pytest.raises(ValueError):
        quelt.dumps([huge])


# Messages of the ensure_ascii escaper for bytes that are not UTF-8.
ENC_UNTERMINATED = "Unterminated UTF-8 sequence when encoding string"
ENC_CONT2 = "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string"
ENC_CONT3 = "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string"
ENC_CONT4 = "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"
ENC_OVERLONG2 = "Overlong 2-byte UTF-8 sequence detected when encoding string"
ENC_OVERLONG3 = "Overlong 3-byte UTF-8 sequence detected when encoding string"
ENC_OVERLONG4 = "Overlong 4-byte UTF-8 sequence detected when encoding string"
ENC_ABOVE_MAX = ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"
ENC_LENGTH = "Unsupported UTF-8 sequence length when encoding string"

# (sequence, message inside the text, message when it ends the text)
ENCODER_INVALID_UTF8 = [
    (b"\xc0\x80", ENC_OVERLONG2, ENC_OVERLONG2),
    (b"\xc3\x28", ENC_CONT2, ENC_CONT2),
    (b"\xc3", ENC_CONT2, ENC_UNTERMINATED),
    (b"\xe2\x82", ENC_CONT3, ENC_UNTERMINATED),
    (b"\xe2\x28\xa1", ENC_CONT3, ENC_CONT3),
    (b"\xe0\x80\x80", ENC_OVERLONG3, ENC_OVERLONG3),
    (b"\xf0\x90\x80", ENC_CONT4, ENC_UNTERMINATED),
    (b"\xf0\x90\x28\x80", ENC_CONT4, ENC_CONT4),
    (b"\xf0\x80\x80\x80", ENC_OVERLONG4, ENC_OVERLONG4),
    (b"\xf4\x90\x80\x80", ENC_ABOVE_MAX, ENC_ABOVE_MAX),
    (b"\xf7\xbf\xbf\xbf", ENC_ABOVE_MAX, ENC_ABOVE_MAX),
    (b"\xf8", ENC_LENGTH, ENC_LENGTH),
    (b"\xfd", ENC_LENGTH, ENC_LENGTH),
]


@pytest.mark.parametrize(
    "seq, inside, at_end", ENCODER_INVALID_UTF8, ids=[row[0].hex() for row in ENCODER_INVALID_UTF8]
)
def test_encoder_invalid_utf8_bytes_at_every_position(seq, inside, at_end):
    for i in range(SWEEP_LENGTH):  # at least one byte follows
        value = b"a" * i + seq + b"b" * (SWEEP_LENGTH - i)
        for obj in (value, [value], {value: 1}):
            assert dumps_error(obj, reject_bytes=False) == (inside,)
    for i in (0, 1, 255, 256, SWEEP_LENGTH):
        assert dumps_error(b"a" * i + seq, reject_bytes=False) == (at_end,)
        assert dumps_error({b"a" * i + seq: 0}) == (at_end,)


@pytest.mark.parametrize("seq", [row[0] for row in ENCODER_INVALID_UTF8], ids=lambda s: s.hex())
def test_encoder_invalid_utf8_without_ensure_ascii_fails_at_the_end(seq):
    # Copied unchanged, the bytes fail only when the output becomes a str.
    for i in (0, 255, 256, SWEEP_LENGTH):
        with pytest.raises(UnicodeDecodeError):
            quelt.dumps(b"a" * i + seq, reject_bytes=False, ensure_ascii=False)


@pytest.mark.parametrize("char", ["\ud800", "\udfff", "\U0001F600", "\u00e9", "\x00", "\x1f"], ids=repr)
@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_encoder_special_characters_at_every_position(char, ensure_ascii):
    for i in range(SWEEP_LENGTH + 1):
        value = "a" * i + char + "b" * (SWEEP_LENGTH - i)
        text = quelt.dumps({value: [value]}, ensure_ascii=ensure_ascii)
        assert quelt.loads(text) == {value: [value]}


# ---- inputs found by fuzzing ------------------------------------------------------------------

REGRESSIONS = Path(__file__).parent / "regressions"
FUZZ_DIR = Path(__file__).resolve().parents[1] / "fuzz"


def regression_cases():
    return sorted(REGRESSIONS.glob("*.bin"))


def test_regression_inputs_are_present():
    # An empty or missing directory would leave the test below checking
    # nothing while still passing.
    assert regression_cases(), f"no regression inputs in {REGRESSIONS}"


@pytest.fixture(scope="module")
def fuzz_checks():
    sys.path.insert(0, str(FUZZ_DIR))
    try:
        import quelt_fuzz_checks
    finally:
        sys.path.remove(str(FUZZ_DIR))
    return quelt_fuzz_checks


@pytest.mark.parametrize("path", regression_cases(), ids=lambda p: p.name)
def test_fuzz_regression(path, fuzz_checks):
    # The file name says which target found it: loads-*.bin or dumps-*.bin.
    target = path.name.split("-", 1)[0]
    fuzz_checks.CHECKS[target](path.read_bytes())
