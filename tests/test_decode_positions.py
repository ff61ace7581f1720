"""Every raised JSONDecodeError carries msg, doc, pos, lineno and colno:
pos is the first character that cannot continue a valid document (counted
in characters for str input and in bytes for bytes input), lineno and colno
start at 1.  str() and args stay the plain message."""
import pytest

import quelt

EXPECTED_VALUE = "Expected object or value"
ARRAY_1 = "Unexpected character found when decoding array value (1)"
ARRAY_2 = "Unexpected character found when decoding array value (2)"
OBJECT = "Unexpected character in found when decoding object value"

# (document, message, pos in characters)
POSITIONS = [
    pytest.param("", EXPECTED_VALUE, 0, id="empty"),
    pytest.param("   ", EXPECTED_VALUE, 3, id="only-whitespace"),
    pytest.param("x", EXPECTED_VALUE, 0, id="start"),
    pytest.param("[1 2]", ARRAY_2, 3, id="array-missing-comma"),
    pytest.param('{"a": [1,\n 2,, 3]}', EXPECTED_VALUE, 13, id="second-line"),
    pytest.param("[1,]", ARRAY_1, 3, id="array-trailing-comma"),
    pytest.param('{"a":1,}', OBJECT, 7, id="object-trailing-comma"),
    pytest.param('{"a":1 "b":2}', OBJECT, 7, id="object-missing-comma"),
    pytest.param('{"a" 1}', "No ':' found when decoding object value", 5, id="missing-colon"),
    pytest.param("{1:2}", "Key name of object must be 'string' when decoding 'object'", 1, id="number-key"),
    pytest.param('[1, {["a"]:1}, x]', "Invalid JSON: object keys must be strings", 5, id="container-key"),
    pytest.param("[1] x", "Trailing data", 4, id="trailing"),
    pytest.param("[1]\n\n  x", "Trailing data", 7, id="trailing-third-line"),
    pytest.param("tru", "Unexpected character found when decoding 'true'", 3, id="literal-cut-short"),
    pytest.param("[fals3]", "Unexpected character found when decoding 'false'", 5, id="literal-wrong-byte"),
    pytest.param("[Nan]", "Unexpected character found when decoding 'NaN'", 3, id="nan"),
    pytest.param("Infinitx", "Unexpected character found when decoding 'Infinity'", 7, id="infinity"),
    pytest.param("[-Inf]", "Unexpected character found when decoding '-Infinity'", 5, id="minus-infinity"),
    pytest.param("[1,-]", "Unexpected character found when decoding 'number'", 4, id="lone-minus"),
    pytest.param("-.x", "Unexpected character found when decoding 'number'", 2, id="minus-point"),
    pytest.param('["abc', "Unmatched '\"' when decoding 'string'", 5, id="unterminated-string"),
    pytest.param('"\\x"', "Unrecognized escape sequence when decoding 'string'", 2, id="bad-escape"),
    pytest.param('"\\', "Unterminated escape sequence when decoding 'string'", 2, id="escape-at-end"),
    pytest.param('"\\u12g4"', "Unexpected character in unicode escape sequence when decoding 'string'", 5,
                 id="bad-unicode-escape"),
    pytest.param('"\\u12', "Unterminated unicode escape sequence when decoding 'string'", 5,
                 id="unicode-escape-at-end"),
    pytest.param("[" * 1026, "Reached object decoding depth limit", 1025, id="depth"),
    pytest.param('["\u00e9\u20ac", x]', EXPECTED_VALUE, 7, id="after-non-ascii"),
    pytest.param('{\n "\u00e9\U0001F600": [1,\n  2 3]}', ARRAY_2, 17, id="multi-line-after-non-ascii"),
    pytest.param('"\ud800\u00e9"  x', "Trailing data", 6, id="after-lone-surrogate"),
]


def line_and_column(doc, pos):
    newline = "\n" if isinstance(doc, str) else b"\n"
    return doc.count(newline, 0, pos) + 1, pos - doc.rfind(newline, 0, pos)


def check(doc, message, pos):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(doc)
    error = info.value
    assert type(error) is quelt.JSONDecodeError
    assert error.args == (message,) and str(error) == message
    assert error.msg == message and error.doc is doc
    assert (error.pos, error.lineno, error.colno) == (pos, *line_and_column(doc, pos))


@pytest.mark.parametrize("doc, message, pos", POSITIONS)
def test_positions_in_characters_for_str(doc, message, pos):
    check(doc, message, pos)


@pytest.mark.parametrize("doc, message, pos", POSITIONS)
def test_positions_in_bytes_for_bytes(doc, message, pos):
    data = doc.encode("utf-8", "surrogatepass")
    byte_pos = len(doc[:pos].encode("utf-8", "surrogatepass"))
    check(data, message, byte_pos)
    check(bytearray(data), message, byte_pos)


@pytest.mark.parametrize(
    "doc, message, pos",
    [
        pytest.param(b'["\xff"]', "Invalid UTF-8 sequence length when decoding 'string'", 2, id="no-sequence"),
        pytest.param(b'"\x80"', "Found UTF-8 continuation byte without corresponding start byte when decoding 'string'",
                     1, id="stray-continuation"),
        pytest.param(b'"a\xc3("', "Invalid UTF-8 continuation byte when decoding 'string'", 3, id="bad-second-byte"),
        pytest.param(b'"\xe2\x82("', "Invalid UTF-8 continuation byte when decoding 'string'", 3, id="bad-third-byte"),
        pytest.param(b'"\xc0\x80"', "Overlong 2-byte UTF-8 sequence detected when decoding 'string'", 1, id="overlong"),
        pytest.param(b'\n "\xf4\x90\x80\x80"', "Code point > U+10FFFF encountered whilst decoding 'string'", 3,
                     id="above-max"),
    ],
)
def test_positions_of_invalid_utf8(doc, message, pos):
    check(doc, message, pos)


def test_class_defines_nothing_of_its_own():
    assert quelt.JSONDecodeError.__bases__ == (ValueError,)
    assert set(vars(quelt.JSONDecodeError)) <= {"__module__", "__dict__", "__weakref__", "__doc__"}
