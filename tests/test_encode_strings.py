"""String escaping: both escapers, every byte class, the three options, and
the UTF-8 validation messages of the ensure_ascii escaper."""
import itertools
import json

import pytest

import quelt

# (text, ensure_ascii=True output, ensure_ascii=False output), default options.
ESCAPES = [
    ("", '""', '""'),
    ("plain", '"plain"', '"plain"'),
    ("a\x00b", '"a\\u0000b"', '"a\\u0000b"'),
    ("\b\t\n\f\r", '"\\b\\t\\n\\f\\r"', '"\\b\\t\\n\\f\\r"'),
    ("\x01\x0b\x1f", '"\\u0001\\u000b\\u001f"', '"\\u0001\\u000b\\u001f"'),
    ('q"b\\', '"q\\"b\\\\"', '"q\\"b\\\\"'),
    ("a/b", '"a\\/b"', '"a\\/b"'),
    ("<&>", '"<&>"', '"<&>"'),
    ("\x7f", '"\x7f"', '"\x7f"'),
    ("é", '"\\u00e9"', '"é"'),
    ("\u07ff\u0800", '"\\u07ff\\u0800"', '"\u07ff\u0800"'),
    ("\uffff", '"\\uffff"', '"\uffff"'),
    ("\U00010000", '"\\ud800\\udc00"', '"\U00010000"'),
    ("\U0001f600", '"\\ud83d\\ude00"', '"\U0001f600"'),
    ("\U0010ffff", '"\\udbff\\udfff"', '"\U0010ffff"'),
    ("\ud800", '"\\ud800"', '"\ud800"'),
    ("x\udfffy", '"x\\udfffy"', '"x\udfffy"'),
    ("\udbff\udfff", '"\\udbff\\udfff"', '"\udbff\udfff"'),
    ("ÄÖÜ\x00€", '"\\u00c4\\u00d6\\u00dc\\u0000\\u20ac"', '"ÄÖÜ\\u0000€"'),
]
ESCAPE_IDS = [
    "empty", "plain", "embedded-nul", "short-escapes", "controls-as-hex", "quote-backslash",
    "slash", "html-copied", "del-copied", "two-byte", "two-three-boundary", "bmp-max",
    "astral-min", "emoji", "astral-max", "lone-high-surrogate", "lone-low-surrogate",
    "surrogate-pair-as-two-lone", "mixed",
]


@pytest.mark.parametrize("text, ascii_out, utf8_out", ESCAPES, ids=ESCAPE_IDS)
def test_escaping_of_values(text, ascii_out, utf8_out):
    assert quelt.dumps(text) == ascii_out
    assert quelt.dumps(text, ensure_ascii=False) == utf8_out


@pytest.mark.parametrize("text, ascii_out, utf8_out", ESCAPES, ids=ESCAPE_IDS)
def test_escaping_of_keys(text, ascii_out, utf8_out):
    assert quelt.dumps({text: 0}) == "{" + ascii_out + ":0}"
    assert quelt.dumps({text: 0}, ensure_ascii=False) == "{" + utf8_out + ":0}"


def test_every_control_character():
    text = "".join(map(chr, range(0x20)))
    expected = json.dumps(text)
    assert quelt.dumps(text) == expected
    assert quelt.dumps(text, ensure_ascii=False) == expected


def test_hex_escapes_are_lowercase():
    out = quelt.dumps("\u00ab\u0abc\udcde\x1a", encode_html_chars=True)
    assert out == '"\\u00ab\\u0abc\\udcde\\u001a"'


def test_every_bmp_character_reads_back():
    # Surrogates are left out: a high one followed by a low one would read
    # back as a pair.  Lone surrogates have their own rows above.
    text = "".join(chr(c) for c in range(1, 0x10000) if not 0xD800 <= c <= 0xDFFF)
    for ensure_ascii in (True, False):
        out = quelt.dumps(text, ensure_ascii=ensure_ascii)
        assert json.loads(out) == text
        if ensure_ascii:
            assert out.isascii()


@pytest.mark.parametrize(
    "ensure_ascii, html, slashes",
    list(itertools.product([True, False], repeat=3)),
    ids=lambda v: str(int(v)),
)
def test_option_combinations(ensure_ascii, html, slashes):
    text = "a/<b>&é\n"
    expected = "a"
    expected += "\\/" if slashes else "/"
    expected += "\\u003cb\\u003e\\u0026" if html else "<b>&"
    expected += "\\u00e9" if ensure_ascii else "é"
    expected += "\\n"
    got = quelt.dumps(
        [text, {text: text}],
        ensure_ascii=ensure_ascii,
        encode_html_chars=html,
        escape_forward_slashes=slashes,
    )
    q = '"' + expected + '"'
    assert got == "[" + q + ",{" + q + ":" + q + "}]"


# Invalid UTF-8 reaches the escaper only through bytes (values with
# reject_bytes off, or keys); the validating escaper rejects it.
BAD_UTF8 = [
    (b"\xc0\x80", "Overlong 2-byte UTF-8 sequence detected when encoding string"),
    (b"\xc1\xbf", "Overlong 2-byte UTF-8 sequence detected when encoding string"),
    (b"\xe0\x80\x80", "Overlong 3-byte UTF-8 sequence detected when encoding string"),
    (b"\xe0\x9f\xbf", "Overlong 3-byte UTF-8 sequence detected when encoding string"),
    (b"\xf0\x80\x80\x80", "Overlong 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf0\x8f\xbf\xbf", "Overlong 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf4\x90\x80\x80", ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf5\x80\x80\x80", ">U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf8", "Unsupported UTF-8 sequence length when encoding string"),
    (b"\xfb\x80\x80\x80\x80", "Unsupported UTF-8 sequence length when encoding string"),
    (b"\xfc", "Unsupported UTF-8 sequence length when encoding string"),
    (b"\xc3", "Unterminated UTF-8 sequence when encoding string"),
    (b"ab\xe2\x82", "Unterminated UTF-8 sequence when encoding string"),
    (b"\xf0\x9f\x98", "Unterminated UTF-8 sequence when encoding string"),
    (b"\xc3A", "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string"),
    (b"\xc3\x00x", "Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string"),
    (b"\xe2A\x82", "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string"),
    (b"\xe2\x82A", "Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string"),
    (b"\xf0\x9fA\x80", "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf0\x9f\x98A", "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"),
    # length is checked before continuation bytes, continuation before range
    (b"\xe2A", "Unterminated UTF-8 sequence when encoding string"),
    (b"\xf5A\x80\x80", "Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"),
    (b"\xf4\x90\x80", "Unterminated UTF-8 sequence when encoding string"),
]
BAD_IDS = [
    "overlong-2", "overlong-2-max", "overlong-3", "overlong-3-max", "overlong-4",
    "overlong-4-max", "above-max-f4", "above-max-f5", "lead-f8", "lead-fb", "lead-fc",
    "cut-2", "cut-3", "cut-4", "cont-2", "cont-2-nul", "cont-3-second", "cont-3-third",
    "cont-4-third", "cont-4-fourth", "length-before-continuation",
    "continuation-before-range", "length-before-range",
]


@pytest.mark.parametrize("raw, message", BAD_UTF8, ids=BAD_IDS)
def test_invalid_utf8_value_with_ensure_ascii(raw, message):
    with pytest.raises(OverflowError) as info:
        quelt.dumps(raw, reject_bytes=False)
    assert str(info.value) == message


@pytest.mark.parametrize("raw, message", BAD_UTF8, ids=BAD_IDS)
def test_invalid_utf8_key_with_ensure_ascii(raw, message):
    with pytest.raises(OverflowError) as info:
        quelt.dumps({raw: 1})
    assert str(info.value) == message


@pytest.mark.parametrize("pad", ["", "x" * 10000], ids=["stack-region", "heap"])
@pytest.mark.parametrize("as_key", [False, True], ids=["value", "key"])
@pytest.mark.parametrize("raw", [b"\x80", b"\xbf\xfe\xff"], ids=["stray-continuation", "fe-ff"])
def test_copied_bytes_fail_only_at_conversion(raw, as_key, pad):
    # Copied by the validating escaper too; not UTF-8, so the final
    # conversion to str refuses the output, wherever the text is.
    with pytest.raises(UnicodeDecodeError):
        quelt.dumps([pad, {raw: 1} if as_key else raw, pad], reject_bytes=False)


def test_valid_utf8_bytes_escaped_under_ensure_ascii():
    raw = "é€\U0001f600\ud800".encode("utf-8", "surrogatepass")
    assert quelt.dumps(raw, reject_bytes=False) == '"\\u00e9\\u20ac\\ud83d\\ude00\\ud800"'
    assert quelt.dumps(raw, reject_bytes=False, ensure_ascii=False) == '"é€\U0001f600\ud800"'


def test_bytes_key_with_reject_bytes_on():
    assert quelt.dumps({b"k": 0}) == '{"k":0}'
    assert quelt.dumps({b"k": 0}, reject_bytes=True) == '{"k":0}'


def test_long_strings_of_worst_case_characters():
    # Every character expands six times: the reservation must cover it.
    for text in ("\x01" * 70000, "\ud800" * 30000, "\U0001f600" * 20000):
        out = quelt.dumps([text, {text: text}])
        assert json.loads(out) == [text, {text: text}]


# A str is escaped from its own storage (one, two or four bytes per code
# point), a bytes value from its UTF-8 bytes; for the same text both must give
# the same JSON under every option.  The plain-run copy works sixteen bytes at
# a time, so each special character is also tried at every offset of a block.
ONE_OF_EACH_KIND = [
    "plain ascii",
    "caf\u00e9 \u00ff\u0080",  # one byte per code point
    "\u20ac\u4e2d\uffff",  # two bytes
    "\U0001F600\U0010FFFF\U00010000",  # four bytes
    "lone \ud800 and \udfff surrogates",
    "nul \x00 del \x7f ctl \x01\x1f\x0b",
    'quote " backslash \\ slash / html <&> \b\f\n\r\t',
]


class StrSub(str):
    pass


@pytest.mark.parametrize("ensure_ascii", [True, False])
@pytest.mark.parametrize("html", [True, False])
@pytest.mark.parametrize("slashes", [True, False])
def test_str_storage_and_utf8_bytes_agree(ensure_ascii, html, slashes):
    opts = dict(ensure_ascii=ensure_ascii, encode_html_chars=html, escape_forward_slashes=slashes)
    for base in ONE_OF_EACH_KIND:
        for text in (base, "\u00e9" + base, "\U0001F600" + base):
            for offset in (0, 1, 15, 16, 17, 31):
                value = "a" * offset + text + "z" * offset
                as_bytes = value.encode("utf-8", "surrogatepass")
                expected = quelt.dumps([as_bytes], reject_bytes=False, **opts)
                assert quelt.dumps([value], **opts) == expected, (value, opts)
                assert quelt.dumps([StrSub(value)], **opts) == expected
                assert quelt.loads(expected) == [value]


# ---- without ensure_ascii: strs written in their own width ------------------
# A str that is not ASCII is escaped in its own code units, and the result is
# assembled from those runs and the UTF-8 text around them (keys, bytes,
# separators).  Every result must be the str json makes, in its canonical
# kind: str equality tells a str of too wide a kind from the right one.

WIDTHS = {"ascii": "plain", "latin-1": "caf\u00e9", "bmp": "\u20ac\u4e2d", "astral": "\U0001f600",
          "surrogate": "\ud800"}


@pytest.mark.parametrize("names", [
    ("ascii",), ("latin-1",), ("bmp",), ("astral",), ("surrogate",),
    ("latin-1", "bmp"), ("bmp", "latin-1"), ("astral", "latin-1"), ("latin-1", "astral", "bmp"),
    ("surrogate", "latin-1"),
], ids=lambda names: "+".join(names))
@pytest.mark.parametrize("around", ["none", "key", "bytes", "separator"])
def test_runs_of_every_width_assemble_into_one_str(names, around):
    values = [WIDTHS[name] + '"\n' + WIDTHS[name] for name in names]
    doc = {"k": values, "n": 1}
    separators = (",", ":")
    if around == "key":
        doc["cl\u00e9 \u043a\u043b\u044e\u0447"] = 2
    elif around == "bytes":
        doc["b"] = "\u00e9\u20ac".encode()
    elif around == "separator":
        separators = (", ", " \u2192 ")
    out = quelt.dumps(doc, ensure_ascii=False, escape_forward_slashes=False, reject_bytes=False,
                      separators=separators)
    if around == "bytes":
        doc["b"] = "\u00e9\u20ac"
    assert out == json.dumps(doc, ensure_ascii=False, separators=separators)


@pytest.mark.parametrize("length", [16383, 16384, 16385, 50000])
@pytest.mark.parametrize("char", ["\u00e9", "\u4e2d", "\U0001f600"], ids=["latin-1", "bmp", "astral"])
def test_long_strs_written_in_pieces(length, char):
    # Escapes on both sides of each piece boundary, and a worst case where
    # every unit expands six times.
    text = list(char * length)
    for at in (16383, 16384, 32767, 32768):
        if at < length:
            text[at] = "\n" if at % 2 else "\x01"
    text = "".join(text)
    worst = "\x01" * length + char
    # Narrower runs, long enough to be widened a block at a time.
    doc = [text, {"k": worst}, "\u00ff" * 41, "\u4e2d" * 41, "tail"]
    assert quelt.dumps(doc, ensure_ascii=False) == json.dumps(doc, ensure_ascii=False, separators=(",", ":"))


def test_invalid_copied_bytes_are_reported_where_they_are_in_the_utf8_text():
    # The decoder's error counts positions in the UTF-8 form of the whole
    # output, whatever width the strs before the bad byte were kept in.
    with pytest.raises(UnicodeDecodeError) as info:
        quelt.dumps(["\u00e9\u4e2d\U0001f600", b"\xff"], ensure_ascii=False, reject_bytes=False)
    assert info.value.start == len('["\u00e9\u4e2d\U0001f600","'.encode())
    assert info.value.reason == "invalid start byte"


def test_strs_from_hooks_and_nested_calls():
    def default(obj):
        # A nested call with runs of its own, then a str of another width.
        return [quelt.dumps({"\u00e9": obj.text}, ensure_ascii=False), obj.text]

    class Holder:
        def __init__(self, text):
            self.text = text

    doc = ["\u00ff", Holder("\u4e2d\U0001f600"), StrSub("\u00e9\u20ac"), "end"]
    out = quelt.dumps(doc, ensure_ascii=False, default=default)
    inner = json.dumps({"\u00e9": "\u4e2d\U0001f600"}, ensure_ascii=False, separators=(",", ":"))
    expected = ["\u00ff", [inner, "\u4e2d\U0001f600"], "\u00e9\u20ac", "end"]
    assert out == json.dumps(expected, ensure_ascii=False, separators=(",", ":"))
