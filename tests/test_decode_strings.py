"""Strings: UTF-8 validation, escapes, surrogate pairing, long strings."""
import pytest

import quelt

CONTINUATION = "Invalid UTF-8 continuation byte when decoding 'string'"
OVERLONG2 = "Overlong 2-byte UTF-8 sequence detected when decoding 'string'"
OVERLONG3 = "Overlong 3-byte UTF-8 sequence detected when decoding 'string'"
OVERLONG4 = "Overlong 4-byte UTF-8 sequence detected when decoding 'string'"
ABOVE_MAX = "Code point > U+10FFFF encountered whilst decoding 'string'"
NO_SEQUENCE = "Invalid UTF-8 sequence length when decoding 'string'"
STRAY = "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'"
UNMATCHED = "Unmatched '\"' when decoding 'string'"
UNTERMINATED_ESCAPE = "Unterminated escape sequence when decoding 'string'"
UNRECOGNIZED_ESCAPE = "Unrecognized escape sequence when decoding 'string'"
UNTERMINATED_UNICODE = "Unterminated unicode escape sequence when decoding 'string'"
BAD_UNICODE = "Unexpected character in unicode escape sequence when decoding 'string'"


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b'""', ""),
        (b'"abc"', "abc"),
        (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        (b'"\\u00e9\\u00E9"', "\u00e9\u00e9"),
        (b'"\\u0000"', "\x00"),
        (b'"\\uD83D\\uDE00"', "\U0001F600"),
        (b'"\\ud83d\\ude00"', "\U0001F600"),
        (b'"\\uD83D"', "\ud83d"),
        (b'"\\uDE00\\uD83D"', "\ude00\ud83d"),
        (b'"\\uD83D \\uDE00"', "\ud83d \ude00"),
        (b'"\\uD800\\uD800\\uDC00"', "\ud800\U00010000"),
        (b'"\\uD83D\\uDE00\\uDE00"', "\U0001F600\ude00"),
        (b'"\xed\xa0\xbd\\uDE00"', "\ud83d\ude00"),  # raw high surrogate never pairs
        (b'"\xed\xa0\x80"', "\ud800"),
        (b'"\t\n\x01\x1f\x7f"', "\t\n\x01\x1f\x7f"),  # raw control bytes kept
        (b'"\xc3\xa9"', "\u00e9"),
        (b'"\xe2\x82\xac"', "\u20ac"),
        (b'"\xef\xbf\xbf"', "\uffff"),
        (b'"\xf0\x90\x80\x80"', "\U00010000"),
        (b'"\xf4\x8f\xbf\xbf"', "\U0010FFFF"),
        (b'"a\xc3\xa9b\\nc"', "a\u00e9b\nc"),
    ],
    ids=repr,
)
def test_decoded(raw, expected):
    assert quelt.loads(raw) == expected
    assert quelt.loads(bytearray(raw)) == expected


def test_str_input_with_lone_surrogate():
    assert quelt.loads('"\ud800x"') == "\ud800x"
    assert quelt.loads('{"\udfff": "\ud83d"}') == {"\udfff": "\ud83d"}


def test_escaped_key():
    assert quelt.loads('{"\\u00e9":1}') == {"\u00e9": 1}


@pytest.mark.parametrize(
    "raw, message",
    [
        (b'"abc', UNMATCHED),
        (b'"', UNMATCHED),
        (b'"ab\x00c"', UNMATCHED),
        (b'"\xc3\xa9', UNMATCHED),
        (b'"\\u00e9', UNMATCHED),
        (b'"\xc0\x80"', OVERLONG2),
        (b'"\xc1\xbf"', OVERLONG2),
        (b'"\xc3\x28"', CONTINUATION),
        (b'"\xc3', CONTINUATION),
        (b'"\xe2\x82', CONTINUATION),
        (b'"\xe2\x28\xa1"', CONTINUATION),
        (b'"\xe2\x82\x28"', CONTINUATION),
        (b'"\xf0\x90\x80', CONTINUATION),
        (b'"\xf0\x90\x28\x80"', CONTINUATION),
        (b'"\xe0\x80\x80"', OVERLONG3),
        (b'"\xe0\x9f\xbf"', OVERLONG3),
        (b'"\xf0\x80\x80\x80"', OVERLONG4),
        (b'"\xf0\x8f\xbf\xbf"', OVERLONG4),
        (b'"\xf4\x90\x80\x80"', ABOVE_MAX),
        (b'"\xf5"', ABOVE_MAX),
        (b'"\xf6\x80\x80\x80"', ABOVE_MAX),
        (b'"\xf7', ABOVE_MAX),
        (b'"\xf8"', NO_SEQUENCE),
        (b'"\xff"', NO_SEQUENCE),
        (b'"\x80"', STRAY),
        (b'"a\xbf"', STRAY),
        (b'"\\', UNTERMINATED_ESCAPE),
        (b'"\\\x00"', UNTERMINATED_ESCAPE),
        (b"\"\\'\"", UNRECOGNIZED_ESCAPE),
        (b'"\\U0041"', UNRECOGNIZED_ESCAPE),
        (b'"\\x41"', UNRECOGNIZED_ESCAPE),
        (b'"\\a"', UNRECOGNIZED_ESCAPE),
        (b'"\\\xc3\xa9"', UNRECOGNIZED_ESCAPE),
        (b'"\\u12', UNTERMINATED_UNICODE),
        (b'"\\u', UNTERMINATED_UNICODE),
        (b'"\\u12G4"', BAD_UNICODE),
        (b'"\\u-123"', BAD_UNICODE),
        (b'"\\u123"', BAD_UNICODE),
        (b'{"\xff":1}', NO_SEQUENCE),
    ],
    ids=repr,
)
def test_rejected(raw, message):
    for doc in (raw, bytearray(raw)):
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(doc)
        assert info.value.args == (message,)


# Runs of multi-byte characters are read a word at a time while four bytes
# remain; whatever stops such a run (a malformed sequence, or the end of the
# input within those four bytes) must be reported as if met alone.
MULTIBYTE_RUNS = [
    "\u00e9",
    "\u65e5",
    "\U0001f600",
    "\u00e9\u65e5\u0800\u07ff\U00010000\U0010ffff",
    "\u0436" * 5 + "\u65e5" * 5 + "\U0001f600" * 3,
]
MALFORMED_AFTER_A_RUN = [
    (b"\xc0\x80", OVERLONG2),
    (b"\xe0\x9f\xbf", OVERLONG3),
    (b"\xc3\x28", CONTINUATION),
    (b"\xe2\x82\x28", CONTINUATION),
    (b"\xe2\x82", CONTINUATION),
    (b"\xc3", CONTINUATION),
    (b"\xf0\x8f\xbf\xbf", OVERLONG4),
    (b"\xf4\x90\x80\x80", ABOVE_MAX),
    (b"\xf0\x9f\x98", CONTINUATION),
    (b"\xbf", STRAY),
    (b"\xff", NO_SEQUENCE),
]


@pytest.mark.parametrize("run", MULTIBYTE_RUNS, ids=repr)
@pytest.mark.parametrize("bad, message", MALFORMED_AFTER_A_RUN, ids=repr)
@pytest.mark.parametrize("after", [b'"', b'', b'x"', b'xyz"'], ids=repr)
def test_malformed_sequence_after_a_run_of_characters(run, bad, message, after):
    raw = b'"' + run.encode() + bad + after
    for doc in (raw, bytearray(raw)):
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(doc)
        assert info.value.args == (message,)


@pytest.mark.parametrize("run", MULTIBYTE_RUNS + ["\ud800\udfff"], ids=repr)
def test_runs_of_characters_up_to_the_end(run):
    for count in range(1, 4 * len(run) + 1):
        text = (run * 4)[:count]
        for tail in ("", "a", "ab", "abc", "\\n"):
            raw = ('"' + text + tail + '"').encode("utf-8", "surrogatepass")
            assert quelt.loads(raw) == raw[1:-1].decode("utf-8", "surrogatepass").replace("\\n", "\n")


# Strings long enough to leave the inline scratch region, with the special
# character at the start, in the middle and at the very end.
LONG_PARTS = ["\u00e9", "\\n", "\U0001F600", "\\ud83d\\ude00", "\\u0041", "a"]


@pytest.mark.parametrize("length", [0, 1, 254, 255, 256, 257, 1000, 70_000])
@pytest.mark.parametrize("part", LONG_PARTS, ids=repr)
def test_long_strings_decode_as_short_ones(length, part):
    body = "x" * length
    for text in (part + body, body + part, body[: length // 2] + part + body[length // 2 :]):
        doc = '["' + text + '", "' + part + '"]'
        expected = [quelt.loads('"' + text + '"'), quelt.loads('"' + part + '"')]
        assert quelt.loads(doc) == expected
        assert quelt.loads(doc.encode("utf-8", "surrogatepass")) == expected


def test_many_strings_after_growth():
    items = ["\u00e9" * n + "\\n" for n in (300, 5, 2000, 1)]
    doc = "[" + ",".join('"' + s + '"' for s in items) + "]"
    assert quelt.loads(doc) == [s.replace("\\n", "\n") for s in items]


def test_error_after_growth_reports_message():
    doc = '["' + "\u00e9" * 5000 + '", "\xff"]'
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(doc.encode("utf-8").replace(b"\xc3\xbf", b"\xff"))
    assert info.value.args == (NO_SEQUENCE,)


# The plain-byte scan reads sixteen bytes at a time while they lie before the
# end of the input; each special byte is placed at every offset around those
# boundaries, and right at the end of the input.
SPECIALS = [
    (b"\\n", "\n"),
    (b"\xc3\xa9", "\u00e9"),
    (b"\xf0\x9f\x98\x80", "\U0001F600"),
    (b"\\u20ac", "\u20ac"),
    (b"\x7f", "\x7f"),
]


@pytest.mark.parametrize("special, decoded", SPECIALS, ids=repr)
def test_special_byte_at_every_offset(special, decoded):
    for offset in range(40):
        for tail in (0, 1, 15, 16, 17):
            raw = b'"' + b"a" * offset + special + b"b" * tail + b'"'
            assert quelt.loads(raw) == "a" * offset + decoded + "b" * tail, (offset, tail)


@pytest.mark.parametrize(
    "bad, message",
    [(b"\x00", UNMATCHED), (b"\xff", NO_SEQUENCE), (b"\x80", STRAY), (b"\xc3", CONTINUATION)],
    ids=repr,
)
def test_bad_byte_at_every_offset_and_at_end_of_input(bad, message):
    for offset in range(40):
        for raw in (b'"' + b"a" * offset + bad + b'a"', b'"' + b"a" * offset + bad):
            with pytest.raises(quelt.JSONDecodeError) as info:
                quelt.loads(raw)
            assert info.value.args == (message,), (offset, raw)
    for offset in range(40):  # no closing quotation mark at all
        with pytest.raises(quelt.JSONDecodeError) as info:
            quelt.loads(b'"' + b"a" * offset)
        assert info.value.args == (UNMATCHED,)


@pytest.mark.parametrize(
    "doc, expected",
    [
        # The same key repeated, spelled raw and escaped, across objects.
        ('[{"ab":1},{"a\\u0062":2},{"ab":3}]', [{"ab": 1}, {"ab": 2}, {"ab": 3}]),
        # Keys of one length sharing their first and last eight bytes.
        ('[{"abcdefgh1ijklmnop":1},{"abcdefgh2ijklmnop":2}]',
         [{"abcdefgh1ijklmnop": 1}, {"abcdefgh2ijklmnop": 2}]),
        # Short keys that are prefixes of each other, and the empty key.
        ('{"":0,"a":1,"aa":2,"aaa":3,"a\\u0000":4}', {"": 0, "a": 1, "aa": 2, "aaa": 3, "a\x00": 4}),
        # Keys either side of the length the cache keeps.
        ('[{"' + "k" * 64 + '":1},{"' + "k" * 65 + '":2},{"' + "k" * 64 + '":3}]',
         [{"k" * 64: 1}, {"k" * 65: 2}, {"k" * 64: 3}]),
        # A key equal to a string value elsewhere.
        ('[{"x":"x"},{"x":"y"}]', [{"x": "x"}, {"x": "y"}]),
    ],
    ids=["escaped-spelling", "same-ends", "prefixes", "cache-length-limit", "key-as-value"],
)
def test_repeated_keys(doc, expected):
    assert quelt.loads(doc) == expected


# Enough keys that many meet in one cache slot, at lengths that take each
# way of comparing a key with the one cached: bytes, two 4-byte words, two
# 8-byte words, and longer.
@pytest.mark.parametrize("pattern", ["{}", "k{}", "long-key-{:07}", "a-much-longer-key-{:07}"])
def test_many_distinct_keys(pattern):
    keys = [pattern.format(i) for i in range(5000)]
    doc = "[" + ",".join('{"%s":%d}' % (k, i) for i, k in enumerate(keys * 2)) + "]"
    assert quelt.loads(doc) == [{k: i} for i, k in enumerate(keys * 2)]
