"""Conversion hooks: toDict(), __json__() and the `default` callable, with
their budget, their order and their failures."""
import threading

import pytest

import quelt


class WithToDict:
    def __init__(self, result):
        self.result = result

    def toDict(self):
        return self.result


class WithJson:
    def __init__(self, result):
        self.result = result

    def __json__(self):
        return self.result


class WithBoth(WithToDict):
    def __json__(self):
        return "never"


class DictSub(dict):
    pass


class Raising:
    def toDict(self):
        raise LookupError("toDict failed")


class GetattrRaises:
    def __getattr__(self, name):
        raise RuntimeError(name)


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (WithToDict({"b": 1, "a": [2]}), {}, '{"b":1,"a":[2]}'),
        (WithToDict({"b": 1, "a": 2}), {"sort_keys": True}, '{"a":2,"b":1}'),
        (WithToDict(DictSub(x=1)), {}, '{"x":1}'),
        (WithToDict({}), {"indent": 2}, "{}"),
        ([WithToDict({"k": WithToDict({"n": None})})], {"indent": 1}, '[\n {\n  "k": {\n   "n": null\n  }\n }\n]'),
        (WithBoth({"t": 1}), {}, '{"t":1}'),
        (WithJson("[1,2]"), {}, "[1,2]"),
        ([WithJson("[1,2]")], {}, "[[1,2]]"),
        (WithJson(b'{"raw":true}'), {}, '{"raw":true}'),
        (WithJson(b"bytes ok"), {"reject_bytes": True}, "bytes ok"),
        (WithJson("not json <&> /"), {"encode_html_chars": True}, "not json <&> /"),
        (WithJson("é"), {}, "é"),
        (WithJson(""), {}, ""),
        ({"k": WithJson("1")}, {"indent": 2}, '{\n  "k": 1\n}'),
    ],
    ids=[
        "toDict", "toDict-sorted", "toDict-dict-subclass", "toDict-empty-indented",
        "toDict-nested", "toDict-before-json", "json-str", "json-in-list", "json-bytes",
        "json-bytes-ignores-reject_bytes", "json-verbatim", "json-non-ascii", "json-empty",
        "json-as-member",
    ],
)
def test_method_hooks(value, kwargs, expected):
    assert quelt.dumps(value, **kwargs) == expected


def test_toDict_result_members_are_not_reclassified_as_hook_object():
    # The dict returned by toDict() is walked like any dict; its members are
    # classified as usual (so a nested hook object is consulted again).
    out = quelt.dumps(WithToDict({"inner": WithJson("42")}))
    assert out == '{"inner":42}'


class Weird:
    def __repr__(self):
        return "Weird()"


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (WithToDict([1]), TypeError, "toDict() should return a dict, got list"),
        (WithToDict(None), TypeError, "toDict() should return a dict, got NoneType"),
        (WithToDict(Weird()), TypeError, "toDict() should return a dict, got Weird"),
        (WithJson(5), TypeError, "__json__() should return str or bytes, got int"),
        (WithJson(bytearray(b"x")), TypeError, "__json__() should return str or bytes, got bytearray"),
        (WithJson({"a": 1}), TypeError, "__json__() should return str or bytes, got dict"),
        (Raising(), LookupError, "toDict failed"),
        (GetattrRaises(), RuntimeError, "toDict"),
    ],
    ids=[
        "toDict-list", "toDict-none", "toDict-object", "json-int", "json-bytearray",
        "json-dict", "toDict-raises", "getattr-raises",
    ],
)
def test_method_hook_failures(value, exc_type, message):
    with pytest.raises(exc_type) as info:
        quelt.dumps([value])
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value).endswith(" is not JSON serializable")


class ClassRaises:
    @property
    def __class__(self):
        raise KeyboardInterrupt("class")


class LookupRaises:
    def __init__(self, exc, raise_for):
        self.exc, self.raise_for = exc, raise_for

    def __getattr__(self, name):
        if name in self.raise_for:
            raise self.exc
        raise AttributeError(name)


# Classification asks an object for its class (the Decimal instance check)
# and for toDict and __json__.  Only a missing attribute means "no such
# hook"; anything else raised on the way propagates as it is.
@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        pytest.param(ClassRaises(), KeyboardInterrupt, "class", id="class-property"),
        pytest.param(LookupRaises(MemoryError("m"), {"toDict"}), MemoryError, "m", id="toDict-memory"),
        pytest.param(LookupRaises(OSError("o"), {"__json__"}), OSError, "o", id="json-os-error"),
        pytest.param(LookupRaises(KeyError("k"), {"toDict"}), KeyError, "'k'", id="toDict-key-error"),
    ],
)
@pytest.mark.parametrize("default", [None, lambda obj: "x"], ids=["no-default", "default"])
def test_failing_lookups_propagate(value, exc_type, message, default):
    with pytest.raises(exc_type) as info:
        quelt.dumps([value], default=default)
    assert type(info.value) is exc_type and str(info.value) == message


def test_missing_attribute_means_no_hook():
    value = LookupRaises(AttributeError("toDict"), {"toDict", "__json__"})
    assert quelt.dumps([value], default=lambda obj: "x") == '["x"]'


def test_toDict_not_callable():
    class NotCallable:
        toDict = 3

    with pytest.raises(TypeError, match="not callable"):
        quelt.dumps(NotCallable())


# ---- default -----------------------------------------------------------------


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def test_default_substitutes():
    def default(obj):
        if isinstance(obj, Point):
            return {"x": obj.x, "y": obj.y}
        if isinstance(obj, set):
            return sorted(obj)
        raise TypeError("unexpected")

    out = quelt.dumps([Point(1, 2), {3, 1}], default=default)
    assert out == '[{"x":1,"y":2},[1,3]]'
    out = quelt.dumps({"p": Point(2, 1)}, default=lambda o: {"y": o.y, "x": o.x}, sort_keys=True)
    assert out == '{"p":{"x":2,"y":1}}'


@pytest.mark.parametrize(
    "substitute, expected",
    [
        (True, "true"),
        (None, "null"),
        ("text", '"text"'),
        (2**80, "1208925819614629174706176"),
        (1.5, "1.5"),
        ((1, 2), "[1,2]"),
        (WithToDict({"t": 1}), '{"t":1}'),
        (WithJson("RAW"), "RAW"),
    ],
    ids=["true", "none", "str", "big-int", "float", "tuple", "toDict-object", "json-object"],
)
def test_default_result_is_classified_again(substitute, expected):
    assert quelt.dumps(object(), default=lambda obj: substitute) == expected


def test_default_is_not_consulted_for_encodable_values():
    calls = []
    quelt.dumps([1, "a", None, {}, []], default=calls.append)
    assert calls == []


def test_default_receives_the_value_then_its_substitutes():
    seen = []
    chain = iter(["second", "third"])

    class First:
        pass

    class Next:
        def __init__(self, name):
            self.name = name

    def default(obj):
        seen.append(obj if isinstance(obj, First) else obj.name)
        name = next(chain, None)
        return Next(name) if name else 7

    first = First()
    assert quelt.dumps(first, default=default) == "7"
    assert seen == [first, "second", "third"]


def test_default_budget_is_three_calls():
    calls = []

    def identity(obj):
        calls.append(obj)
        return obj

    with pytest.raises(TypeError) as info:
        quelt.dumps(object(), default=identity)
    assert str(info.value) == "maximum recursion depth exceeded"
    assert len(calls) == 3


def test_default_budget_is_per_value():
    calls = []

    def twice_then_int(obj):
        calls.append(obj)
        depth = getattr(obj, "depth", 0)
        if depth < 2:
            nxt = Point(0, 0)
            nxt.depth = depth + 1
            return nxt
        return depth

    # Each of the three values uses three calls, within its own budget.
    assert quelt.dumps([Point(0, 0)] * 3, default=twice_then_int) == "[2,2,2]"
    assert len(calls) == 9


def test_default_failures():
    class Boom(Exception):
        pass

    def raising(obj):
        raise Boom("no")

    with pytest.raises(Boom, match="^no$"):
        quelt.dumps({"a": object()}, default=raising)
    with pytest.raises(TypeError, match="not callable"):
        quelt.dumps(object(), default=5)
    # A non-callable default is not checked up front.
    assert quelt.dumps([1], default=5) == "[1]"


def test_default_returning_unencodable_values_uses_up_its_budget():
    # A substitute with no rule goes back to default, never to the
    # not-serializable message, until the budget is spent.
    with pytest.raises(TypeError, match="^maximum recursion depth exceeded$"):
        quelt.dumps(object(), default=lambda o: {1, 2})


def test_nothing_runs_after_a_failure():
    calls = []

    def default(obj):
        calls.append(obj)
        if obj == "bad":
            raise ValueError("stop")
        return 0

    class Tagged:
        def __init__(self, tag):
            self.tag = tag

        def __eq__(self, other):
            return self.tag == other

        __hash__ = object.__hash__

    class Later:
        def toDict(self):
            calls.append("toDict")
            return {}

        def __json__(self):
            calls.append("__json__")
            return "1"

    with pytest.raises(ValueError):
        quelt.dumps([Tagged("ok"), Tagged("bad"), Tagged("after"), Later()], default=default)
    assert [getattr(c, "tag", c) for c in calls] == ["ok", "bad"]


def test_hook_can_call_dumps_reentrantly():
    class Nested:
        def __json__(self):
            return quelt.dumps({"inner": [1, 2]}, indent=1)

    assert quelt.dumps([Nested()]) == '[{\n "inner": [\n  1,\n  2\n ]\n}]'


def test_default_may_raise_after_large_output():
    def default(obj):
        raise KeyError("late")

    with pytest.raises(KeyError):
        quelt.dumps(["x" * 200000, object()], default=default)


class EndlessJson:
    def __json__(self):
        return quelt.dumps([EndlessJson()], indent=1)


def endless_default(obj):
    return quelt.dumps(obj, default=endless_default)


@pytest.mark.parametrize(
    "call",
    [lambda: quelt.dumps(EndlessJson()), lambda: quelt.dumps(object(), default=endless_default)],
    ids=["json-hook", "default-hook"],
)
def test_hooks_that_call_dumps_without_end_raise_recursion_error(call):
    # Each nested dumps call sits on the stack of the one that called the
    # hook; the interpreter's recursion limit must be what stops it.
    outcome = []

    def run():
        try:
            call()
        except RecursionError:
            outcome.append("recursion")

    run()
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    assert outcome == ["recursion", "recursion"]
