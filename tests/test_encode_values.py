"""Scalars: literals, integers of every width, doubles, Decimal, bytes,
subclasses of the built-in types, and values with no rule."""
import decimal
import enum
import math
import random
import subprocess
import sys

import pytest

import quelt


class IntSub(int):
    def toDict(self):  # never consulted: the int rule comes first
        return {"no": 1}


class StrSub(str):
    def __json__(self):  # never consulted: the str rule comes first
        return "no"


class FloatSub(float):
    def __float__(self):  # the stored value is used, not __float__
        return 99.0


class Colour(enum.IntEnum):
    RED = 7


class DecimalSub(decimal.Decimal):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (-1, "-1"),
        (2**63 - 1, "9223372036854775807"),
        (-(2**63), "-9223372036854775808"),
        (2**63, "9223372036854775808"),
        (2**64 - 1, "18446744073709551615"),
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**100, "1" + "0" * 100),
        (-(10**60) - 7, "-1" + "0" * 59 + "7"),
        (IntSub(5), "5"),
        (Colour.RED, "7"),
        (StrSub("s"), '"s"'),
    ],
    ids=[
        "none", "true", "false", "zero", "minus-one", "int64-max", "int64-min",
        "uint64-low", "uint64-max", "beyond-uint64", "below-int64", "googol",
        "big-negative", "int-subclass-ignores-toDict", "intenum", "str-subclass-ignores-json",
    ],
)
def test_scalar_text(value, expected):
    assert quelt.dumps(value) == expected
    assert quelt.encode(value) == expected


def test_integers_at_every_digit_count_and_width():
    # Digits are counted before they are written: each power of ten and its
    # neighbours, and the edges of 32 and 64 bits, compact ints or not, up
    # to the widest written without the interpreter's help.
    values = [0]
    for k in range(21):
        values += [10**k - 1, 10**k, 10**k + 1]
    for bits in (30, 31, 32, 33, 63, 64):
        values += [2**bits - 1, 2**bits, 2**bits + 1]
    # Eight digits at a time go through one word: every digit in every
    # position, zeros inside groups, and random values of each length.
    rng = random.Random(8)
    for count in range(1, 21):
        values += [int(str(d) * count) for d in range(1, 10)]
        values += [int(("90" * count)[:count]), int("1" + "0" * (count - 2) + "1") if count > 1 else 1]
        values += [rng.randrange(10 ** (count - 1), 10**count) for _ in range(20)]
    values += [-v for v in values]
    assert quelt.dumps(values) == "[" + ",".join(map(str, values)) + "]"


def test_wide_integers_match_str():
    # Up to 2048 bits the digits come from the limbs, 19 per division pass;
    # wider ones from the interpreter.  Powers of ten and of two and their
    # neighbours sit on the group and limb edges; random ones fill between.
    rng = random.Random(2048)
    values = []
    for k in range(19, 640):
        values += [10**k - 1, 10**k, 10**k + 1]
    for bits in range(63, 2100):
        values += [2**bits - 1, 2**bits, 2**bits + 1, rng.getrandbits(bits)]
    values += [-v for v in values]
    assert quelt.dumps(values) == "[" + ",".join(map(str, values)) + "]"


@pytest.mark.parametrize(
    "value, expected",
    [
        (1.0, "1.0"),
        (100.0, "100.0"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (0.1, "0.1"),
        (1.5, "1.5"),
        (0.0001, "0.0001"),
        (0.00001, "1e-5"),
        (0.000015, "1.5e-5"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e+16"),
        (1.5e16, "1.5e+16"),
        (1e300, "1e+300"),
        (sys.float_info.max, "1.7976931348623157e+308"),
        (5e-324, "5e-324"),
        (-2.2250738585072014e-308, "-2.2250738585072014e-308"),
        (math.inf, "Infinity"),
        (-math.inf, "-Infinity"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (FloatSub(2.5), "2.5"),
        (decimal.Decimal("1.10"), "1.1"),
        (decimal.Decimal("-0"), "-0.0"),
        (decimal.Decimal("NaN"), "NaN"),
        (decimal.Decimal("1e400"), "Infinity"),
        (decimal.Decimal("0.1000000000000000000001"), "0.1"),
        (DecimalSub("3"), "3.0"),
    ],
    ids=[
        "one", "hundred", "zero", "negative-zero", "tenth", "one-and-half", "plain-small",
        "exp-small", "exp-small-fraction", "plain-large", "exp-large", "exp-large-fraction",
        "1e300", "max-double", "min-subnormal", "negative-min-normal", "inf", "minus-inf",
        "nan", "negative-nan", "float-subclass-stored-value", "decimal-like-float",
        "decimal-negative-zero", "decimal-nan", "decimal-overflows-to-inf",
        "decimal-loses-precision", "decimal-subclass",
    ],
)
def test_double_text(value, expected):
    assert quelt.dumps(value) == expected


@pytest.mark.parametrize(
    "value",
    [math.nan, math.inf, -math.inf, decimal.Decimal("NaN"), [1, {"k": math.inf}]],
    ids=["nan", "inf", "minus-inf", "decimal-nan", "nested-inf"],
)
def test_non_finite_rejected_without_allow_nan(value):
    with pytest.raises(OverflowError) as info:
        quelt.dumps(value, allow_nan=False)
    assert str(info.value) == "Invalid value when encoding double"


def test_finite_doubles_unaffected_by_allow_nan():
    assert quelt.dumps([1.5, 0.0, 1e16], allow_nan=False) == "[1.5,0.0,1e+16]"


@pytest.mark.parametrize("value", [0.1, 1 / 3, 2.0**-1074, 1e22, 123456789.123456789, -7e-7])
def test_double_reads_back_exactly(value):
    assert float(quelt.dumps(value)) == value


def test_signalling_decimal_raises_its_conversion_error():
    with pytest.raises(ValueError, match="signaling NaN"):
        quelt.dumps(decimal.Decimal("sNaN"))


# ---- bytes ----------------------------------------------------------------


def test_bytes_written_as_string_when_allowed():
    assert quelt.dumps(b"abc", reject_bytes=False) == '"abc"'
    assert quelt.dumps([b"a/\n"], reject_bytes=False) == '["a\\/\\n"]'


def test_bytes_rejected_by_default():
    with pytest.raises(TypeError) as info:
        quelt.dumps(b"abc")
    assert str(info.value) == "b'abc' is not JSON serializable"
    with pytest.raises(TypeError):
        quelt.dumps(b"abc", reject_bytes=True)


def test_rejected_bytes_reach_default():
    seen = []

    def default(obj):
        seen.append(obj)
        return obj.decode()

    assert quelt.dumps([b"xy"], default=default) == '["xy"]'
    assert seen == [b"xy"]


def test_rejected_bytes_reach_toDict_of_a_subclass():
    class Packet(bytes):
        def toDict(self):
            return {"len": len(self)}

    assert quelt.dumps(Packet(b"abc")) == '{"len":3}'
    assert quelt.dumps(Packet(b"abc"), reject_bytes=False) == '"abc"'


def test_invalid_utf8_bytes_without_ensure_ascii_fail_at_conversion():
    with pytest.raises(UnicodeDecodeError):
        quelt.dumps(b"\xff", reject_bytes=False, ensure_ascii=False)


# ---- no rule ---------------------------------------------------------------


class Opaque:
    def __repr__(self):
        return "<opaque é>"


class BadRepr:
    def __repr__(self):
        raise RuntimeError("repr failed")


class SurrogateRepr:
    def __repr__(self):
        return "\ud800"


class NulRepr:
    def __repr__(self):
        return "a\x00b"


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        ({1, 2}, TypeError, "{1, 2} is not JSON serializable"),
        (object, TypeError, "<class 'object'> is not JSON serializable"),
        (Opaque(), TypeError, "<opaque é> is not JSON serializable"),
        ([1, Opaque()], TypeError, "<opaque é> is not JSON serializable"),
        (NulRepr(), TypeError, "a\x00b is not JSON serializable"),
        (BadRepr(), RuntimeError, "repr failed"),
        (complex(1, 2), TypeError, "(1+2j) is not JSON serializable"),
    ],
    ids=["set", "class", "non-ascii-repr", "nested", "nul-in-repr", "repr-raises", "complex"],
)
def test_not_serializable(value, exc_type, message):
    with pytest.raises(exc_type) as info:
        quelt.dumps(value)
    assert str(info.value) == message


def test_unencodable_repr_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        quelt.dumps(SurrogateRepr())


def test_decimal_is_a_double_not_a_hook_object():
    class WithHooks(decimal.Decimal):
        def toDict(self):
            return {}

    assert quelt.dumps(WithHooks("2.5")) == "2.5"


def test_decimal_not_serializable_when_decimal_cannot_be_imported():
    script = (
        "import sys, decimal\n"
        "sys.modules['decimal'] = None\n"
        "import quelt\n"
        "try:\n"
        "    quelt.dumps(decimal.Decimal('1.5'))\n"
        "except TypeError as exc:\n"
        "    print(exc)\n"
        "print(quelt.dumps([1.5]))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["Decimal('1.5') is not JSON serializable", "[1.5]"]
