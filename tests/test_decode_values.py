"""Literals, arrays, objects, whitespace, keys and nesting."""
import pytest

import quelt

EXPECTED_VALUE = "Expected object or value"
ARRAY_AFTER_COMMA = "Unexpected character found when decoding array value (1)"
ARRAY_SEPARATOR = "Unexpected character found when decoding array value (2)"
OBJECT_SEPARATOR = "Unexpected character in found when decoding object value"
NO_COLON = "No ':' found when decoding object value"
KEY_NOT_STRING = "Key name of object must be 'string' when decoding 'object'"
DEPTH = "Reached object decoding depth limit"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("true", True),
        ("false", False),
        ("null", None),
        ("[]", []),
        ("{}", {}),
        (" \t\r\n[ \t\r\n] \t\r\n", []),
        ("[true,false,null]", [True, False, None]),
        ('[ 1 , "a" , [ ] , { } ]', [1, "a", [], {}]),
        ('{ "a" : 1 , "b" : [ true ] }', {"a": 1, "b": [True]}),
        ('{"a":{"b":{"c":[{}]}}}', {"a": {"b": {"c": [{}]}}}),
        ('{"a":1,"a":2}', {"a": 2}),
        (' [1] \n', [1]),
    ],
    ids=repr,
)
def test_accepted(text, expected):
    assert quelt.loads(text) == expected


def test_duplicate_key_keeps_first_position_and_last_value():
    assert list(quelt.loads('{"a":1,"b":2,"a":3}').items()) == [("a", 3), ("b", 2)]


@pytest.mark.parametrize(
    "text, message",
    [
        ("", EXPECTED_VALUE),
        ("   ", EXPECTED_VALUE),
        ("\f[]", EXPECTED_VALUE),
        ("\ufeff[]", EXPECTED_VALUE),
        ("\v1", EXPECTED_VALUE),
        ("True", EXPECTED_VALUE),
        ("]", EXPECTED_VALUE),
        ("+1", EXPECTED_VALUE),
        (".5", EXPECTED_VALUE),
        ("'a'", EXPECTED_VALUE),
        ("tru", "Unexpected character found when decoding 'true'"),
        ("trUe", "Unexpected character found when decoding 'true'"),
        ("fals", "Unexpected character found when decoding 'false'"),
        ("nul", "Unexpected character found when decoding 'null'"),
        ("nulL", "Unexpected character found when decoding 'null'"),
        ("[", EXPECTED_VALUE),
        ("[,1]", EXPECTED_VALUE),
        ("[1,,2]", EXPECTED_VALUE),
        ("[1,]", ARRAY_AFTER_COMMA),
        ("[1, \n]", ARRAY_AFTER_COMMA),
        ("[1 2]", ARRAY_SEPARATOR),
        ("[1", ARRAY_SEPARATOR),
        ("[truefalse]", ARRAY_SEPARATOR),
        ('["a"}', ARRAY_SEPARATOR),
        ('{"a":1,}', OBJECT_SEPARATOR),
        ('{"a":1', OBJECT_SEPARATOR),
        ('{"a":1 "b":2}', OBJECT_SEPARATOR),
        ('{"a":1]', OBJECT_SEPARATOR),
        ('{"a" 1}', NO_COLON),
        ('{"a"', NO_COLON),
        ('{"a",1}', NO_COLON),
        ('{"a":}', EXPECTED_VALUE),
        ('{"a"::1}', EXPECTED_VALUE),
        ("{", EXPECTED_VALUE),
        ("{a:1}", EXPECTED_VALUE),
        ('{"a":1,', EXPECTED_VALUE),
        ("{1:2}", KEY_NOT_STRING),
        ("{true:1}", KEY_NOT_STRING),
        ("{null:1}", KEY_NOT_STRING),
        ("{[]:1}", KEY_NOT_STRING),
        ("{{}:1}", KEY_NOT_STRING),
        ('{[1]:1}', KEY_NOT_STRING),
        ("nullx", "Trailing data"),
        ("[1] x", "Trailing data"),
        ("1 2", "Trailing data"),
        ("{} {}", "Trailing data"),
    ],
    ids=repr,
)
def test_rejected(text, message):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(text)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "text",
    ['{["a"]:1}', '{{"k":"v"}:1}', '{"x":1, ["a"]:1, "y":2}', '[{["a"]:1}, 1'],
    ids=repr,
)
def test_container_key_ending_in_string_is_refused_after_whole_parse(text):
    # The key passes the string test (its last value was a string) but cannot
    # be stored; the error wins over a later syntax error as well.
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(text)
    assert info.value.args == ("Invalid JSON: object keys must be strings",)


def nested(depth, opener="[", closer="]"):
    return opener * depth + closer * depth


@pytest.mark.parametrize(
    "make",
    [
        lambda d: nested(d),
        lambda d: '{"a":' * d + "1" + "}" * d,
        lambda d: '[{"a":' * (d // 2) + "1" + "}]" * (d // 2),
    ],
    ids=["arrays", "objects", "mixed"],
)
def test_nesting_limit(make):
    assert quelt.loads(make(1024)) is not None
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(make(1028))
    assert info.value.args == (DEPTH,)


def test_depth_counts_open_containers_only():
    # Closed siblings do not add up: many 1025-deep chains side by side parse.
    text = "[" + ",".join([nested(1024)] * 3) + "]"
    assert len(quelt.loads(text)) == 3
    with pytest.raises(quelt.JSONDecodeError, match=DEPTH):
        quelt.loads(nested(1026))


# Whatever dumps writes, loads reads back: the deepest document the encoder
# writes is 1025 containers deep (a root and 1024 levels below it), and one
# level more fails on both sides.
@pytest.mark.parametrize(
    "value, wrap",
    [pytest.param([], lambda v: [v], id="lists"), pytest.param({}, lambda v: {"k": v}, id="dicts")],
)
def test_deepest_encoded_document_reads_back(value, wrap):
    for _ in range(1024):
        value = wrap(value)
    text = quelt.dumps(value)
    assert quelt.loads(text) == value
    with pytest.raises(OverflowError):
        quelt.dumps(wrap(value))
    with pytest.raises(quelt.JSONDecodeError, match=DEPTH):
        quelt.loads("[" + text + "]")


@pytest.mark.parametrize("text", ["[" * 1_000_000, "{\"a\":" * 1_000_000], ids=["arrays", "objects"])
def test_deep_hostile_nesting_stops_at_limit(text):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(text)
    assert info.value.args == (DEPTH,)


def test_literal_singletons():
    value = quelt.loads("[true, false, null]")
    assert value[0] is True and value[1] is False and value[2] is None


@pytest.mark.parametrize("size", [0, 1, 255, 256, 257, 10_000])
def test_long_and_nested_arrays(size):
    # Members wait on a stack shared by the open arrays until their closing
    # bracket; long arrays and arrays inside long arrays must keep their order.
    inner = list(range(size))
    doc = "[" + ",".join(["[" + ",".join(map(str, inner)) + "]", *map(str, inner)]) + "]"
    assert quelt.loads(doc) == [inner, *inner]


@pytest.mark.parametrize(
    "doc, message",
    [
        ("[" + "1," * 300 + "[" + "2," * 300 + "x]]", EXPECTED_VALUE),
        ("[" + "1," * 300 + "[" + "2," * 300 + "3}", ARRAY_SEPARATOR),
        ("[" + "[1," * 1000 + "1" + "]" * 999, ARRAY_SEPARATOR),
    ],
    ids=["bad-value-deep-in-long-arrays", "bad-separator", "unclosed-after-growth"],
)
def test_errors_inside_long_arrays(doc, message):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(doc)
    assert info.value.args == (message,)


def test_whitespace_runs_of_every_length():
    # Runs are skipped sixteen bytes at a time while they lie before the end
    # of the input; lengths around those blocks, and runs that reach the end.
    for length in range(0, 50):
        for blank in (" ", "\n", "\r\n", "\t "):
            gap = (blank * length)[:length]
            assert quelt.loads(gap + "[" + gap + "1" + gap + "," + gap + '{"a"' + gap + ":" + gap + "2" + gap + "}" + gap + "]" + gap) == [1, {"a": 2}]
            with pytest.raises(quelt.JSONDecodeError) as info:
                quelt.loads("[" + gap + "\f" + gap + "1]")
            assert info.value.args == (EXPECTED_VALUE,)
            with pytest.raises(quelt.JSONDecodeError) as info:
                quelt.loads("[1]" + gap + "\x00" + gap)
            assert info.value.args == ("Trailing data",)
