"""Lists, tuples and dictionaries: layout, indentation, keys of every type,
sort_keys, the nesting limit, output beyond the stack region, and round
trips of real documents."""
import collections
import ctypes
import decimal
import json
import math
import random
import sys

import pytest

import quelt


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ([], {}, "[]"),
        ({}, {}, "{}"),
        ((), {}, "[]"),
        ([[]], {}, "[[]]"),
        ((1, "a", None), {}, '[1,"a",null]'),
        ({"a": [1, {}], "b": []}, {}, '{"a":[1,{}],"b":[]}'),
        ([], {"indent": 4}, "[]"),
        ({}, {"indent": 4}, "{}"),
        ([[]], {"indent": 2}, "[\n  []\n]"),
        ([{}], {"indent": 2}, "[\n  {}\n]"),
        ({"a": [1, {}], "b": []}, {"indent": 2},
         '{\n  "a": [\n    1,\n    {}\n  ],\n  "b": []\n}'),
        ([1, [2, [3]]], {"indent": 4}, "[\n    1,\n    [\n        2,\n        [\n            3\n        ]\n    ]\n]"),
        ([1, 2], {"indent": 2, "separators": (", ", ": ")}, "[\n  1, \n  2\n]"),
        ({"a": 1, "b": 2}, {"indent": 2, "separators": (", ", ": ")}, '{\n  "a": 1, \n  "b": 2\n}'),
        ({"a": [1, {}], "b": []}, {"indent": -1}, '{"a": [1,{}],"b": []}'),
    ],
    ids=[
        "empty-list", "empty-dict", "empty-tuple", "nested-empty", "tuple", "mixed",
        "empty-list-indented", "empty-dict-indented", "list-of-empty-list-indent-2",
        "list-of-empty-dict-indent-2", "layout-table-indent-2", "deep-indent-4",
        "separator-before-line-feed-list", "separator-before-line-feed-dict", "negative-indent",
    ],
)
def test_container_layout(value, kwargs, expected):
    assert quelt.dumps(value, **kwargs) == expected


def test_indent_layout_line_by_line():
    lines = quelt.dumps({"a": [1, {}], "b": []}, indent=2).split("\n")
    table = [(0, "{"), (2, '"a": ['), (4, "1,"), (4, "{}"), (2, "],"), (2, '"b": []'), (0, "}")]
    assert [(len(line) - len(line.lstrip(" ")), line.lstrip(" ")) for line in lines] == table


@pytest.mark.parametrize("indent", [1, 3, 7])
def test_indented_output_matches_stdlib(indent):
    doc = {"k": [1, 2.5, {"x": None, "y": [True, False]}], "e": [], "o": {}, "s": "t"}
    assert quelt.dumps(doc, indent=indent) == json.dumps(doc, indent=indent)


class NamedPair(collections.namedtuple("NamedPair", "x y")):
    pass


class OddDict(dict):
    def items(self):
        return [("fake", 1)]

    def keys(self):
        return ["fake"]

    def __iter__(self):
        return iter(["fake"])


class OddList(list):
    def __iter__(self):
        return iter([99])

    def __getitem__(self, i):
        return 99

    def __len__(self):
        return 99


def test_subclasses_are_walked_over_their_stored_entries():
    assert quelt.dumps(OddDict(real=2)) == '{"real":2}'
    assert quelt.dumps(OddDict(real=2), sort_keys=True) == '{"real":2}'
    assert quelt.dumps(OddList([1, 2])) == "[1,2]"
    assert quelt.dumps(NamedPair(1, "b")) == '[1,"b"]'
    assert quelt.dumps(collections.OrderedDict([("z", 1), ("a", 2)])) == '{"z":1,"a":2}'


# ---- members written in place and handed over ----------------------------------


class Word(str):
    """A str subclass: written from its own text, like a str, but never cached."""


# Leaves are written by the walk itself, from the container's references,
# a bounded number per hold of its lock; everything else is handed over and
# written after.  The cycles below put every kind of member after every
# other, and cross the bound.
MEMBER_VALUES = [
    "plain", "caf\u00e9 \U0001f600", 7, -(2**70), 0.25, True, False, None,
    [], {}, (1, "t"), {"in": [1, {"x": "y"}]}, Word("w"),
]
# Key makers, each for a unique key of its kind: own text (cached or not)
# first, then keys converted on the way.
STR_KEYS = [lambda i: f"k{i}", lambda i: f"k\u00e9{i}", lambda i: Word(f"w{i}")]
CONVERTED_KEYS = [lambda i: i, lambda i: i + 0.5]


def members_document(count, str_keys_only):
    keys = STR_KEYS if str_keys_only else STR_KEYS + CONVERTED_KEYS
    values = [MEMBER_VALUES[i % len(MEMBER_VALUES)] for i in range(count)]
    mapping = {keys[i % len(keys)](i): values[(i * 5) % count] for i in range(count)}
    return {"list": values, "tuple": tuple(values), "dict": mapping, "nested": [values[:3], mapping]}


@pytest.mark.parametrize("count", [1, 2, 255, 256, 257, 600])
@pytest.mark.parametrize(
    "kwargs",
    [{}, {"indent": 2}, {"sort_keys": True}, {"ensure_ascii": False}, {"separators": (" , ", " : ")}],
    ids=["defaults", "indent", "sort-keys", "no-ensure-ascii", "wide-separators"],
)
def test_members_of_every_kind_in_any_order(count, kwargs):
    doc = members_document(count, str_keys_only="sort_keys" in kwargs)
    reference = dict(kwargs)
    if "indent" not in reference:
        reference.setdefault("separators", (",", ":"))
    assert quelt.dumps(doc, **kwargs) == json.dumps(doc, **reference)


# ---- keys --------------------------------------------------------------------


class Token:
    def __str__(self):
        return "tok\u00e9n"


class SurrogateStr:
    def __str__(self):
        return "\udc80"


@pytest.mark.parametrize(
    "value, expected",
    [
        ({1: 2}, '{"1":2}'),
        ({-(2**70): 0}, '{"-1180591620717411303424":0}'),
        ({None: 0}, '{"null":0}'),
        ({True: 0, False: 1}, '{"true":0,"false":1}'),
        ({1.5: 0}, '{"1.5":0}'),
        ({1e16: 0}, '{"1e+16":0}'),
        ({math.nan: 0}, '{"nan":0}'),
        ({math.inf: 0}, '{"inf":0}'),
        ({decimal.Decimal("1.10"): 0}, '{"1.10":0}'),
        ({(1, 2): 0}, '{"(1, 2)":0}'),
        ({b"k": 0}, '{"k":0}'),
        ({Token(): 0}, '{"tok\\u00e9n":0}'),
        ({SurrogateStr(): 0}, '{"\\udc80":0}'),
        ({"": ""}, '{"":""}'),
    ],
    ids=[
        "int", "big-int", "none", "bools", "float", "float-uses-str", "nan-key", "inf-key",
        "decimal-key-keeps-digits", "tuple", "bytes", "object-str", "object-str-surrogate",
        "empty",
    ],
)
def test_key_conversion(value, expected):
    assert quelt.dumps(value) == expected


class KeyStr(str):
    pass


# A call that writes many keys keeps the written form of each str key it
# meets, by the key object, and copies it when the key comes again.  Written
# alone, each record stays below the number of keys at which that starts, so
# the records joined are the text the same call must give for the list.
# The pool has more keys than the cache has slots, so entries are replaced;
# it mixes keys that need escapes, keys around the longest form kept, and
# keys that are never kept (non-ASCII, str subclasses, bytes, other types).
@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"separators": (", ", " : ")},
        {"separators": (",", "\u00e9")},
        {"ensure_ascii": False},
        {"escape_forward_slashes": False, "encode_html_chars": True},
        {"sort_keys": True},
        {"reject_bytes": False},
    ],
    ids=repr,
)
def test_repeated_keys_are_written_alike(kwargs):
    rng = random.Random(7)
    pool = [f"k{i}" for i in range(600)]
    pool += ['q"uote', "back\\slash", "tab\t", "/slash/", "<html>", "x" * 51, "y" * 52, "z" * 53, "w" * 200]
    pool += ["caf\u00e9", KeyStr("sub"), KeyStr("k1"), 7, None, True, 2.5]
    if kwargs.get("reject_bytes") is False:
        pool.append(b"raw")
    if kwargs.get("sort_keys"):
        pool = [key for key in pool if isinstance(key, str)]
    records = [{key: i for key in rng.sample(pool, 40)} for i in range(300)]
    item_separator = kwargs.get("separators", (",",))[0]
    expected = "[" + item_separator.join(quelt.dumps(record, **kwargs) for record in records) + "]"
    assert quelt.dumps(records, **kwargs) == expected


def test_keys_made_during_the_walk_are_written_as_they_are():
    # Each hook call makes fresh key objects that live only while their
    # dictionary is written; a freed key's address may be reused by the next.
    def fresh(obj):
        return {"".join(["f", str(obj.n), "_", str(j)]): j for j in range(3)}

    class Item:
        def __init__(self, n):
            self.n = n

    values = [Item(n) for n in range(500)]
    text = quelt.dumps(values, default=fresh)
    assert json.loads(text) == [{f"f{n}_{j}": j for j in range(3)} for n in range(500)]


def test_key_and_value_use_different_texts():
    assert quelt.dumps({math.nan: math.nan}) == '{"nan":NaN}'
    assert quelt.dumps({decimal.Decimal("1.10"): decimal.Decimal("1.10")}) == '{"1.10":1.1}'


def test_raising_key_str_stops_the_walk():
    class BadKey:
        def __str__(self):
            raise KeyError("bad key")

    later = []

    def default(obj):
        later.append(obj)
        return 0

    with pytest.raises(KeyError):
        quelt.dumps({"a": 1, BadKey(): 2, "c": object()}, default=default)
    assert later == []


def test_key_str_returning_non_str_raises_its_type_error():
    class WrongStr:
        def __str__(self):
            return 5

    with pytest.raises(TypeError):
        quelt.dumps({WrongStr(): 1})


# ---- sort_keys ---------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"b": 1, "a": 2}, '{"a":2,"b":1}'),
        ({10: 0, 9: 0}, '{"9":0,"10":0}'),
        ({}, "{}"),
        ({"b": {"d": 1, "c": 2}, "a": [{"z": 0, "y": 1}]}, '{"a":[{"y":1,"z":0}],"b":{"c":2,"d":1}}'),
        ({b"b": 1, b"a": 2}, '{"a":2,"b":1}'),
    ],
    ids=["strings", "ints-by-number", "empty", "nested", "bytes"],
)
def test_sort_keys(value, expected):
    assert quelt.dumps(value, sort_keys=True) == expected


def test_insertion_order_without_sort_keys():
    assert quelt.dumps({"b": 1, "a": 2, 10: 3, 9: 4}) == '{"b":1,"a":2,"10":3,"9":4}'


def test_sort_of_incomparable_keys_raises():
    with pytest.raises(TypeError, match="not supported between instances"):
        quelt.dumps({"a": 1, 2: 3}, sort_keys=True)


def test_sort_keys_with_indent():
    assert quelt.dumps({"b": 1, "a": 2}, sort_keys=True, indent=1) == '{\n "a": 2,\n "b": 1\n}'


# ---- nesting limit -----------------------------------------------------------


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def nested_dicts(depth):
    value = {}
    for _ in range(depth - 1):
        value = {"k": value}
    return value


@pytest.mark.parametrize(
    "make, text",
    [
        (nested_lists, lambda n: "[" * n + "]" * n),
        (nested_dicts, lambda n: '{"k":' * (n - 1) + "{}" + "}" * (n - 1)),
    ],
    ids=["lists", "dicts"],
)
def test_nesting_limit(make, text):
    assert quelt.dumps(make(1025)) == text(1025)
    with pytest.raises(OverflowError) as info:
        quelt.dumps(make(1026))
    assert str(info.value) == "Maximum recursion level reached"


def test_deepest_scalar_counts_as_a_level():
    value = 1
    for _ in range(1024):
        value = [value]
    assert quelt.dumps(value) == "[" * 1024 + "1" + "]" * 1024
    with pytest.raises(OverflowError, match="^Maximum recursion level reached$"):
        quelt.dumps([value])


def test_self_containing_containers():
    a = []
    a.append(a)
    d = {}
    d["d"] = d
    for value in (a, d):
        with pytest.raises(OverflowError, match="^Maximum recursion level reached$"):
            quelt.dumps(value)


def test_nesting_limit_with_indent():
    out = quelt.dumps(nested_lists(1025), indent=4)
    lines = out.split("\n")
    assert len(lines) == 2 * 1024 + 1
    assert lines[1024] == " " * 4 * 1024 + "[]"
    assert lines[-1] == "]" and lines[-2] == " " * 4 + "]"


# ---- output beyond the stack region ------------------------------------------


@pytest.mark.parametrize(
    "doc",
    [
        ["x" * 65530],
        ["y" * 65535, 1],
        list(range(20000)),
        {f"key{i}": [i, str(i) * 3, i / 7] for i in range(5000)},
        ["\u00e9" * 300000],
        ["a" * 1000000, "b"],
    ],
    ids=["just-below", "just-across", "many-ints", "many-members", "wide-escapes", "megabyte"],
)
def test_large_output_byte_for_byte(doc):
    out = quelt.dumps(doc)
    assert out == json.dumps(doc, separators=(",", ":")).replace("/", "\\/")
    assert quelt.dumps(doc, indent=3) == json.dumps(doc, indent=3).replace("/", "\\/")


# The length of the previous output sets the first heap capacity of the
# next one: each test runs after outputs shorter and longer than its own.
PREVIOUS_OUTPUT = pytest.mark.parametrize("previous", [0, 5000, 150000, 3 << 20],
                                          ids=lambda n: f"after-{n}")


@PREVIOUS_OUTPUT
def test_growth_at_every_boundary_keeps_text(previous):
    # Strings whose lengths step across the 4096-byte region and the first
    # few doublings, at every small offset around each boundary.
    for boundary in (4096, 8192, 16384, 65536, 131072):
        for delta in range(-3, 4):
            doc = ["z" * (boundary - 4 + delta), "tail"]
            quelt.dumps(["p" * previous])
            assert quelt.dumps(doc) == json.dumps(doc, separators=(",", ":"))


@pytest.mark.parametrize("previous", [0, 5000, 150000, 3 << 20, "same"], ids=lambda n: f"after-{n}")
@pytest.mark.parametrize("size", [0, 1, 4090, 4096, 5000, 70000, 1 << 20])
def test_ascii_result_is_an_ordinary_str(size, previous):
    # Past the stack region the buffer itself becomes the result, shrunk to
    # its text or, after outputs of the same length ("same"), keeping the
    # spare room of its block: either way its length, its NUL and its hash
    # are those of any other str, and it can grow in place.
    doc = ["y" * size]
    for _ in range(2 if previous == "same" else 1):
        quelt.dumps(doc if previous == "same" else ["p" * previous])
    out = quelt.dumps(doc)
    copy = json.dumps(doc)
    assert out == copy and hash(out) == hash(copy) and out.isascii()
    assert sys.getsizeof(out) == sys.getsizeof(copy)
    # A compact ASCII str's text follows its header, which is what
    # getsizeof("") counts besides the NUL.
    data = id(out) + sys.getsizeof("") - 1
    assert ctypes.string_at(data, len(out) + 1) == copy.encode() + b"\0"
    assert out + "!" == copy + "!" and {out: 1}[copy] == 1
    out += "!"  # the only reference: resized in place
    assert out == copy + "!" and out[-2:] == copy[-1] + "!"


class RawJson:
    def __init__(self, text):
        self.text = text

    def __json__(self):
        return self.text


# Every way text reaches the output unescaped or as UTF-8, with and without
# bytes >= 0x80 (an output with any cannot be handed over as an ASCII str):
# (value, options, its text).
NON_ASCII_OUTPUT = [
    pytest.param(RawJson(r'"\u00e9"'), {}, r'"\u00e9"', id="json-ascii-str"),
    pytest.param(RawJson('"é"'), {}, '"é"', id="json-str"),
    pytest.param(RawJson('"é\ud800"'), {}, '"é\ud800"', id="json-str-surrogate"),
    pytest.param(RawJson('"é"'.encode()), {}, '"é"', id="json-bytes"),
    pytest.param(RawJson(b'"e"'), {}, '"e"', id="json-ascii-bytes"),
    pytest.param([1, 2], {"separators": ("\u2022", ":")}, "[1\u20222]", id="item-separator"),
    pytest.param({"k": 1}, {"separators": (",", "\u2192")}, '{"k"\u21921}', id="key-separator"),
    pytest.param("é", {"ensure_ascii": False}, '"é"', id="latin-1-str"),
    pytest.param("€\U0001f600", {"ensure_ascii": False}, '"€\U0001f600"', id="wide-str"),
    pytest.param("\ud800", {"ensure_ascii": False}, '"\ud800"', id="surrogate-str"),
    pytest.param({"é": 1}, {"ensure_ascii": False}, '{"é":1}', id="str-key"),
    pytest.param({"é".encode(): 1}, {"ensure_ascii": False}, '{"é":1}', id="bytes-key"),
    pytest.param({b"k": 1}, {"ensure_ascii": False}, '{"k":1}', id="ascii-bytes-key"),
    pytest.param("é".encode(), {"ensure_ascii": False, "reject_bytes": False}, '"é"', id="bytes-value"),
]


@pytest.mark.parametrize("pad", ["", "x" * 10000], ids=["stack-region", "heap"])
@pytest.mark.parametrize("value, kwargs, text", NON_ASCII_OUTPUT)
def test_non_ascii_output_from_each_source(value, kwargs, text, pad):
    # The padding before and after moves the text to the heap before and
    # after the value is written.
    item = kwargs.get("separators", (",", ":"))[0]
    out = quelt.dumps([pad, value, pad], **kwargs)
    assert out == '["' + pad + '"' + item + text + item + '"' + pad + '"]'


# Pieces of raw text: characters at the edges of each UTF-8 length and str
# kind, encoded surrogates, and malformed sequences.
RAW_PIECES = [
    b"a", b"\x7f", "\x80".encode(), "\xff".encode(), "\u0100".encode(), "\u20ac".encode(),
    "\ud800".encode("utf-8", "surrogatepass"), "\udfff".encode("utf-8", "surrogatepass"),
    "\uffff".encode(), "\U0001f600".encode(), "\U0010ffff".encode(),
    b"\x80", b"\xc0\x80", b"\xc2", b"\xe0\x80\x80", b"\xed\xa0", b"\xf0\x8f\xbf\xbf",
    b"\xf4\x90\x80\x80", b"\xf0\x9f\x98", b"\xfe", b"\xff",
]


@pytest.mark.parametrize("seed", range(3))
def test_non_ascii_output_is_the_str_the_utf8_decoder_makes(seed):
    # Output with bytes >= 0x80 is transcoded straight into a str of its
    # measured length and kind: it must be the very str (kind included:
    # equality compares it) or error that decoding the bytes gives.
    rng = random.Random(seed)
    for _ in range(400):
        raw = b"".join(rng.choice(RAW_PIECES) for _ in range(rng.randint(1, 12)))
        pad = "x" * rng.choice([0, 13, 5000])
        whole = ('["' + pad + '",').encode() + raw + b"]"
        try:
            expected = whole.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError as exc:
            with pytest.raises(UnicodeDecodeError) as info:
                quelt.dumps([pad, RawJson(raw)])
            assert str(info.value) == str(exc)
        else:
            assert quelt.dumps([pad, RawJson(raw)]) == expected


# ---- real documents ----------------------------------------------------------


def test_real_document_round_trip(real_document):
    name, raw = real_document
    value = json.loads(raw)
    for kwargs in ({}, {"ensure_ascii": False}, {"indent": 2, "sort_keys": True}):
        text = quelt.dumps(value, **kwargs)
        assert json.loads(text) == value, (name, kwargs)
        assert quelt.loads(text) == value, (name, kwargs)
