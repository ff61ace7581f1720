"""Options of dumps/encode and dump: parsing, defaults, indent limits,
separators, and how failures reach the caller."""
import io
import json

import pytest

import quelt

DOC = {"a": 1, "b": [1, 2]}


@pytest.mark.parametrize("fn", [quelt.dumps, quelt.encode], ids=["dumps", "encode"])
@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, '{"a":1,"b":[1,2]}'),
        ({"indent": 0}, '{"a":1,"b":[1,2]}'),
        ({"indent": -1}, '{"a": 1,"b": [1,2]}'),
        ({"indent": -50}, '{"a": 1,"b": [1,2]}'),
        ({"indent": 1}, '{\n "a": 1,\n "b": [\n  1,\n  2\n ]\n}'),
        ({"separators": None}, '{"a":1,"b":[1,2]}'),
        ({"separators": (", ", ": ")}, '{"a": 1, "b": [1, 2]}'),
        ({"separators": ("", "")}, '{"a"1"b"[12]}'),
        ({"separators": (";", "=>")}, '{"a"=>1;"b"=>[1;2]}'),
        ({"separators": (",", ":"), "indent": 2}, '{\n  "a":1,\n  "b":[\n    1,\n    2\n  ]\n}'),
        # Up to eight bytes a separator is stored as one padded word.
        ({"separators": ("<------>", "=======>")}, '{"a"=======>1<------>"b"=======>[1<------>2]}'),
        ({"separators": ("<------->", "========>")}, '{"a"========>1<------->"b"========>[1<------->2]}'),
        ({"separators": (" | " * 7, " -> " * 5), "indent": 1},
         '{\n "a"' + " -> " * 5 + "1" + " | " * 7 + '\n "b"' + " -> " * 5 + "[\n  1" + " | " * 7 + "\n  2\n ]\n}"),
        ({"default": None}, '{"a":1,"b":[1,2]}'),
    ],
    ids=[
        "defaults", "indent-0", "indent-minus-1", "indent-below-minus-1", "indent-1",
        "separators-none", "separators-spaced", "separators-empty", "separators-custom",
        "separators-with-indent", "separators-of-8-bytes", "separators-of-9-bytes",
        "separators-long-with-indent", "default-none",
    ],
)
def test_layout_options(fn, kwargs, expected):
    assert fn(DOC, **kwargs) == expected


def test_options_by_position():
    # obj, ensure_ascii, encode_html_chars, escape_forward_slashes, sort_keys,
    # indent, allow_nan, reject_bytes, default, separators
    out = quelt.dumps({"b": "é/<", "a": b"x"}, False, True, False, True, 0, True, False, None, ("|", "="))
    assert out == '{"a"="x"|"b"="é/\\u003c"}'


@pytest.mark.parametrize(
    "option, value",
    [
        ("ensure_ascii", True), ("encode_html_chars", False), ("escape_forward_slashes", True),
        ("sort_keys", False), ("indent", 0), ("allow_nan", True), ("reject_bytes", True),
        ("default", None), ("separators", None),
    ],
)
def test_documented_defaults(option, value):
    doc = {"z": "é/<&>", "a": [1.5, float("inf")]}
    assert quelt.dumps(doc, **{option: value}) == quelt.dumps(doc)


def test_truth_values_are_accepted_for_flags():
    assert quelt.dumps("é", ensure_ascii=0) == '"é"'
    assert quelt.dumps("é", ensure_ascii=[]) == '"é"'
    assert quelt.dumps("/", escape_forward_slashes="") == '"/"'
    assert quelt.dumps(b"x", reject_bytes=None) == '"x"'


def test_indent_limits():
    assert quelt.dumps([1], indent=1000) == "[\n" + " " * 1000 + "1\n]"
    with pytest.raises(ValueError) as info:
        quelt.dumps([1], indent=1001)
    assert str(info.value) == "Maximum allowed indentation is 1000"


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"indent": 1001}, ValueError, "Maximum allowed indentation is 1000"),
        ({"separators": [",", ":"]}, TypeError, "expected tuple or None as separator"),
        ({"separators": ","}, TypeError, "expected tuple or None as separator"),
        ({"separators": (",",)}, ValueError, "expected tuple of size 2 as separator"),
        ({"separators": (",", ":", " ")}, ValueError, "expected tuple of size 2 as separator"),
        ({"separators": (1, ":")}, TypeError, "expected str as item separator"),
        ({"separators": (b",", 2)}, TypeError, "expected str as item separator"),
        ({"separators": (",", 2)}, TypeError, "expected str as key separator"),
        ({"separators": [1], "indent": 1001}, ValueError, "Maximum allowed indentation is 1000"),
        ({"separators": (1,)}, ValueError, "expected tuple of size 2 as separator"),
    ],
    ids=[
        "indent-1001", "separators-list", "separators-str", "separators-one",
        "separators-three", "item-not-str", "item-bytes", "key-not-str",
        "indent-checked-before-separators", "size-checked-before-items",
    ],
)
def test_option_errors(kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        quelt.dumps(DOC, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {"bogus": 1}),
        ((1,), {"indent": "2"}),
        ((1,), {"indent": 2**31}),
        ((1,), {"indent": 1.5}),
        ((1, True, False, True, False, 0, True, True, None, None, "extra"), {}),
        ((1,), {"obj": 1}),
    ],
    ids=["no-obj", "unknown-keyword", "indent-str", "indent-too-big", "indent-float",
         "too-many", "obj-twice"],
)
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError if kwargs.get("indent") != 2**31 else OverflowError):
        quelt.dumps(*args, **kwargs)


def test_tuple_subclass_separators_and_str_subclass_items():
    class Pair(tuple):
        pass

    class S(str):
        pass

    assert quelt.dumps([1, 2], separators=Pair((S(";"), S("=")))) == "[1;2]"


def test_separator_with_lone_surrogate_comes_back():
    out = quelt.dumps({"a": [1, 2]}, separators=("\ud800", "\udfff"))
    assert out == '{"a"\udfff[1\ud8002]}'
    out = quelt.dumps([1, 2], separators=("é", ":"), ensure_ascii=True)
    assert out == "[1é2]"


# ---- failures: which exception the caller sees ------------------------------


def test_recorded_error_is_overflow_error():
    with pytest.raises(OverflowError) as info:
        quelt.dumps([1.0, float("nan")], allow_nan=False)
    assert str(info.value) == "Invalid value when encoding double"
    assert type(info.value) is OverflowError


def test_python_exception_wins_over_recorded_text():
    class Boom(Exception):
        pass

    def default(obj):
        raise Boom("from default")

    with pytest.raises(Boom, match="^from default$"):
        quelt.dumps([1, object()], default=default)


def test_failure_after_large_output_returns_no_text():
    doc = ["x" * 100000, object()]
    with pytest.raises(TypeError):
        quelt.dumps(doc)
    assert quelt.dumps(doc[:1]) == '["' + "x" * 100000 + '"]'


# ---- dump --------------------------------------------------------------------


class Recorder:
    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def write(self, text):
        self.calls.append(text)
        return self.result


def test_dump_writes_once_and_returns_none():
    fp = Recorder(result=12345)
    assert quelt.dump({"a": [1, 2]}, fp) is None
    assert fp.calls == ['{"a":[1,2]}']


def test_dump_passes_keywords_through():
    fp = Recorder()
    quelt.dump({"b": 1, "a": "/"}, fp, indent=2, sort_keys=True, escape_forward_slashes=False)
    assert fp.calls == ['{\n  "a": "/",\n  "b": 1\n}']


def test_dump_to_a_real_file(tmp_path):
    path = tmp_path / "out.json"
    with open(path, "w", encoding="utf-8") as fp:
        quelt.dump({"k": ["é", 1.5]}, fp, ensure_ascii=False)
    assert json.loads(path.read_text(encoding="utf-8")) == {"k": ["é", 1.5]}
    buffer = io.StringIO()
    quelt.dump([None], buffer)
    assert buffer.getvalue() == "[null]"


class NotCallableWrite:
    write = 5


class RaisingWriteAttribute:
    @property
    def write(self):
        raise RuntimeError("no write for you")


@pytest.mark.parametrize(
    "fp",
    [object(), NotCallableWrite(), "text"],
    ids=["no-write", "write-not-callable", "str"],
)
def test_dump_needs_a_callable_write(fp):
    with pytest.raises(TypeError) as info:
        quelt.dump([1], fp)
    assert str(info.value) == "expected file"


def test_dump_propagates_an_error_looking_up_write():
    with pytest.raises(RuntimeError, match="^no write for you$"):
        quelt.dump([1], RaisingWriteAttribute())


def test_dump_checks_fp_before_encoding():
    calls = []

    def default(obj):
        calls.append(obj)
        return 1

    with pytest.raises(TypeError, match="^expected file$"):
        quelt.dump(object(), object(), default=default)
    assert calls == []


def test_dump_argument_errors():
    with pytest.raises(TypeError):
        quelt.dump([1], Recorder(), 2)  # options only by keyword
    with pytest.raises(TypeError):
        quelt.dump([1])


def test_dump_writes_nothing_when_encoding_fails():
    fp = Recorder()
    with pytest.raises(TypeError):
        quelt.dump([1, object()], fp)
    with pytest.raises(ValueError):
        quelt.dump([1], fp, indent=1001)
    assert fp.calls == []


def test_dump_propagates_write_errors():
    class Failing:
        def write(self, text):
            raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        quelt.dump([1], Failing())
