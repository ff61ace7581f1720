"""Properties over generated data: plain values of every shape survive
dumps and loads under any option set, bit for bit where equality is
defined, and every valid JSON text decodes as the standard library's json
decodes it."""
import io
import json
import math
import os
import struct

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import quelt

# Bounded so the suite stays quick; the sanitizer build runs fewer.
EXAMPLES = 30 if os.environ.get("QUELT_SANITIZED") else 120
PROFILE = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def same(a, b):
    """Exact types, floats to the bit (NaN equals NaN), dicts in order."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return math.isnan(a) and math.isnan(b) or struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def pair_surrogates(text):
    """Adjacent high and low surrogates written as two \\u escapes come back
    as one code point; lone ones stay as they are."""
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


def expected_back(value, ascii_output):
    """What a plain value decodes to after dumps: tuples become lists, keys
    become their text, strings written as escapes pair their surrogates."""
    text = pair_surrogates if ascii_output else (lambda s: s)
    if isinstance(value, str):
        return text(value)
    if isinstance(value, (list, tuple)):
        return [expected_back(v, ascii_output) for v in value]
    if isinstance(value, dict):
        out = {}
        for k, v in value.items():
            if isinstance(k, str):
                name = k
            elif isinstance(k, bool):
                name = "true" if k else "false"
            elif k is None:
                name = "null"
            else:
                name = str(k)
            out[text(name)] = expected_back(v, ascii_output)
        return out
    return value


# ---- strategies -------------------------------------------------------------------------

code_points = st.one_of(
    st.characters(),  # any code point but surrogates
    st.integers(0xD800, 0xDFFF).map(chr),  # lone surrogates, sometimes adjacent pairs
    st.sampled_from('"\\/<>&\x00\x1f\x7f\u2028\U0001F600\U0010FFFF'),
)
texts = st.lists(code_points, max_size=24).map("".join)
integers = st.one_of(
    st.integers(),
    st.integers(-(2**64) - 2, 2**64 + 2),
    st.sampled_from([2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64]),
    st.integers(-(10**1200), 10**1200),
)
finite_floats = st.floats(allow_nan=False, allow_infinity=False)
scalars = st.one_of(st.none(), st.booleans(), integers, finite_floats, texts)


def plain(keys=texts, tuples=True):
    def containers(children):
        shapes = [st.lists(children, max_size=6), st.dictionaries(keys, children, max_size=6)]
        if tuples:
            shapes.append(st.lists(children, max_size=4).map(tuple))
        return st.one_of(*shapes)

    return st.recursive(scalars, containers, max_leaves=40)


SEPARATORS = [None, (",", ":"), (", ", ": "), (",\n", " : "), ("\t,\r\n", "\n:\t")]

option_sets = st.fixed_dictionaries(
    {},
    optional={
        "ensure_ascii": st.booleans(),
        "encode_html_chars": st.booleans(),
        "escape_forward_slashes": st.booleans(),
        "sort_keys": st.booleans(),
        "indent": st.integers(-3, 8),
        "allow_nan": st.booleans(),
        "reject_bytes": st.booleans(),
        "separators": st.sampled_from(SEPARATORS),
    },
)


# ---- round trips --------------------------------------------------------------------------

@PROFILE
@given(value=plain(), options=option_sets)
# Sorted by the keys as they are: the surrogate pair sorts before U+D801, the
# code point it becomes after the round trip sorts after it.
@example(value={"\ud800\udc00": None, "\ud801": None}, options={"sort_keys": True})
def test_plain_data_round_trips_under_any_options(value, options):
    text = quelt.dumps(value, **options)
    ascii_output = options.get("ensure_ascii", True)
    if ascii_output:
        assert text.isascii()
    if options.get("encode_html_chars"):
        assert not set("<>&") & set(text)
    if options.get("sort_keys"):
        value = sort_members(value)
    expected = expected_back(value, ascii_output)
    for doc in (text, text.encode("utf-8", "surrogatepass")):
        assert same(quelt.loads(doc), expected)
    sink = io.StringIO()
    quelt.dump(value, sink, **options)
    assert sink.getvalue() == text


def sort_members(value):
    """The value with its dicts in the order sort_keys writes them: by the
    keys themselves, before they become text."""
    if isinstance(value, (list, tuple)):
        return [sort_members(v) for v in value]
    if isinstance(value, dict):
        return {k: sort_members(value[k]) for k in sorted(value)}
    return value


@PROFILE
@given(value=plain(keys=st.one_of(texts, integers, finite_floats, st.booleans(), st.none())),
       ensure_ascii=st.booleans())
def test_keys_of_any_kind_come_back_as_their_text(value, ensure_ascii):
    text = quelt.dumps(value, ensure_ascii=ensure_ascii)
    assert same(quelt.loads(text), expected_back(value, ensure_ascii))


@PROFILE
@given(value=st.one_of(finite_floats, st.floats()), indent=st.integers(0, 2))
def test_floats_are_written_exactly(value, indent):
    text = quelt.dumps([value], indent=indent)
    back = quelt.loads(text)[0]
    assert same(back, value) or (math.isnan(value) and math.isnan(back))
    if math.isfinite(value):
        # The shortest text that reads back as the same double.
        assert float(text.strip("[] \n")) == value


@PROFILE
@given(value=plain(tuples=False), options=option_sets)
def test_output_is_json_for_the_standard_library_too(value, options):
    options.pop("allow_nan", None)
    text = quelt.dumps(value, **options)
    if options.get("sort_keys"):
        value = sort_members(value)
    assert same(json.loads(text), expected_back(value, options.get("ensure_ascii", True)))


@PROFILE
@given(value=texts, ensure_ascii=st.booleans(), html=st.booleans(), slashes=st.booleans())
def test_string_escaping_round_trips(value, ensure_ascii, html, slashes):
    text = quelt.dumps(value, ensure_ascii=ensure_ascii, encode_html_chars=html, escape_forward_slashes=slashes)
    assert text[0] == text[-1] == '"'
    if slashes:
        assert "/" not in text.replace("\\/", "")
    assert quelt.loads(text) == expected_back(value, ensure_ascii)


# ---- against the standard library's decoder ------------------------------------------------

stdlib_options = st.fixed_dictionaries(
    {},
    optional={
        "ensure_ascii": st.booleans(),
        "indent": st.one_of(st.none(), st.integers(0, 4), st.just("\t")),
        "separators": st.sampled_from([(",", ":"), (", ", ": "), (" ,", " : ")]),
        "sort_keys": st.booleans(),
    },
)


@PROFILE
@given(
    value=plain(tuples=False),
    extra_floats=st.lists(st.floats(), max_size=3),
    options=stdlib_options,
)
def test_valid_json_decodes_like_the_standard_library(value, extra_floats, options):
    doc = json.dumps([value, extra_floats], **options)
    expected = json.loads(doc)
    assert same(quelt.loads(doc), expected)
    raw = doc.encode("utf-8", "surrogatepass")
    assert same(quelt.loads(raw), expected)
    assert same(quelt.loads(bytearray(raw)), expected)


@PROFILE
@given(number=st.one_of(integers, finite_floats), exponent_style=st.sampled_from(["", "e0", "E+00", "e-0"]))
def test_numbers_decode_like_the_standard_library(number, exponent_style):
    text = repr(number) if isinstance(number, float) else str(number)
    if isinstance(number, float) and "e" not in text and "inf" not in text:
        text += exponent_style
    assert same(quelt.loads(text), json.loads(text))
