"""loads() of a str that is not all ASCII reads the str's own storage, one
code point per 1-, 2- or 4-byte unit.  Whatever the width, the result, the
error message and the error position must be those of the same document
given as UTF-8 bytes, with the position counted in characters instead of
bytes."""
import pytest

import quelt

# One character of each storage width; each document below has a `{c}` that
# becomes one of them, so the same text is read at every width.
WIDTHS = {
    "ascii": "a",
    "one-byte": "é",
    "two-byte": "ā",
    "lone-surrogate": "\ud800",
    "four-byte": "😀",
}


def as_utf8(text):
    return text.encode("utf-8", "surrogatepass")


def outcome(doc):
    """loads()'s result, or its error as (message, position in characters of
    the str), for a str or for its UTF-8 bytes."""
    try:
        value = quelt.loads(doc)
        # repr, so that NaN compares; the value itself where there is no NaN,
        # since == also fails a str made at a wider kind than its text needs.
        return ("value", repr(value), value if "nan" not in repr(value) else None)
    except quelt.JSONDecodeError as exc:
        position = exc.pos
        if isinstance(doc, bytes):
            position = len(doc[: exc.pos].decode("utf-8", "surrogatepass"))
        return ("error", exc.msg, position, exc.lineno)


VALID = [
    '"{c}"',
    '["{c}", "plain", "", "x{c}y"]',
    '{{"{c}": 1, "key": "{c}", "k{c}": [1, 2.5, -3e-2, true, false, null]}}',
    '"\\n\\t\\"\\\\\\/\\b\\f\\r{c}\\u00e9\\u0101\\ud83d\\ude00\\ud800x\\udc00"',
    '{{"a\\u0062c": "{c}", "{c}\\n": {{"deep": ["{c}" ]}}}}',
    '[18446744073709551615, -9223372036854775808, 123456789012345678901234567890, "{c}"]',
    '[1.5, -0.0, 1e308, 5e-324, 0.1, "{c}", NaN, Infinity, -Infinity]',
    '[' + "1" * 1500 + '.5, "{c}"]',
    '{{"{c}": {{"{c}": {{"{c}": []}}}}, "x": {{}}}}',
    '\n\t {{ "a" :\r\n [ "{c}" , 1 ] }} \n',
    '"\x01\x1f\x7f{c}\x80\xff"',
]

INVALID = [
    '"{c}',
    '["{c}", x]',
    '{{"{c}": 1,}}',
    '["{c}",]',
    '"{c}\\x"',
    '"{c}\\u12g4"',
    '"{c}\\u12',
    '"{c}\\',
    '"{c}\x00"',
    '["{c}"] 1',
    '["{c}", tru{c}]',
    '["{c}", -]',
    '["{c}", -{c}]',
    '{{"{c}" 1}}',
    '{{"{c}": 1 "b": 2}}',
    '{{["{c}"]: 1}}',
    '{{1: "{c}"}}',
    '["{c}"\n,\n{c}]',
    '["{c}" 1]',
    '[' * 1100 + '"{c}"' + ']' * 1100,
]


@pytest.mark.parametrize("width", list(WIDTHS))
@pytest.mark.parametrize("template", VALID + INVALID)
def test_str_reads_as_its_utf8(template, width):
    doc = template.format(c=WIDTHS[width])
    assert outcome(doc) == outcome(as_utf8(doc))


# Runs of every length around the sixteen-byte scans of each width, with the
# character that ends them at every offset.
@pytest.mark.parametrize("width", list(WIDTHS))
def test_runs_across_the_scan_chunks(width):
    c = WIDTHS[width]
    for before in range(0, 36):
        for stop in ['"', "\\n", c, "\\u00e9"]:
            doc = '["' + "p" * before + stop + "q" * (before % 7) + '", ' + " " * before + "1]"
            if stop == '"':
                doc = '["' + "p" * before + c + '", ' + " " * before + "1]"
            assert outcome(doc) == outcome(as_utf8(doc)), doc
        unterminated = '["' + c + "p" * before
        assert outcome(unterminated) == outcome(as_utf8(unterminated))


def test_str_subclass_is_read_from_its_own_storage():
    class Text(str):
        pass

    for c in WIDTHS.values():
        doc = Text('{"k%s": ["%s", 1]}' % (c, c))
        assert quelt.loads(doc) == {"k" + c: [c, 1]}


def test_keys_repeated_across_objects_are_one_str():
    doc = '[{"id": 1, "é": 2}, {"id": 3, "é": 4}]'
    first, second = quelt.loads(doc)
    a, b = list(first), list(second)
    assert a[0] is b[0]
    assert a == b == ["id", "é"]
