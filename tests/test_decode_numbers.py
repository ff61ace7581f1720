"""Integers of any size, floats through the converter, NaN and infinities."""
import math
import random
import struct
import subprocess
import sys

import pytest

import quelt


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", 0),
        ("-0", 0),
        ("7", 7),
        ("-7", -7),
        ("0123", 123),
        ("-007", -7),
        ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63),
        ("18446744073709551615", 2**64 - 1),
        ("18446744073709551616", 2**64),
        ("-9223372036854775808", -(2**63)),
        ("-9223372036854775809", -(2**63) - 1),
        ("-18446744073709551616", -(2**64)),
        ("00000000000000000000018446744073709551615", 2**64 - 1),
        ("123456789012345678901234567890", 123456789012345678901234567890),
        # Long integers are folded 19 digits at a time into 64-bit limbs; a
        # negative one is handed over as its two's complement.
        ("9" * 38, int("9" * 38)),
        ("-" + "9" * 38, -int("9" * 38)),
        ("10000000000000000000", 10**19),
        ("-10000000000000000009", -(10**19) - 9),
        ("00000000000000000018446744073709551616", 2**64),
        ("1" + "0" * 38, 10**38),
        ("-170141183460469231731687303715884105728", -(2**127)),
        ("-" + "9" * 4000, -int("9" * 4000)),
        ("18446744073709551616" * 2, int("18446744073709551616" * 2)),
        (str(2**128 - 1), 2**128 - 1),
        (str(-(2**128)), -(2**128)),
        (str(-(2**128) + 1), -(2**128) + 1),
        (str(-(2**191)), -(2**191)),
        ("0" * 600 + "1" * 40, int("1" * 40)),
        ("9" * 640, int("9" * 640)),
        ("-" + "9" * 641, -int("9" * 641)),
    ],
    ids=repr,
)
def test_integers(text, expected):
    value = quelt.loads(text)
    assert type(value) is int and value == expected


NO_DIGIT = "Unexpected character found when decoding 'number'"


# A number without any digit is damaged data: it must not read as zero.
@pytest.mark.parametrize(
    "text",
    ["-", "[-]", "[-,1]", "[1,-,2]", '{"a":-}', '{"a":-,"b":1}', "-NaN", "-.", "-e5", "-E5",
     "[-.]", "-.e1", "-x", "- 1", "--1", "-+1"],
    ids=repr,
)
def test_minus_without_digits(text):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(text)
    assert info.value.args == (NO_DIGIT,)


def bits(x):
    return struct.pack(">d", x)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.5", 1.5),
        ("1e2", 100.0),
        ("1E-2", 0.01),
        ("1.", 1.0),
        ("1.e2", 100.0),
        ("-.5", -0.5),
        ("01.5", 1.5),
        ("-0.0", -0.0),
        ("0.1", 0.1),
        ("2.2250738585072014e-308", 2.2250738585072014e-308),
        ("5e-324", 5e-324),
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("1e400", math.inf),
        ("-1e400", -math.inf),
        ("1e-400", 0.0),
        ("0.30000000000000004", 0.30000000000000004),
        ("123456789012345678901234567890.0", 1.2345678901234568e29),
        ("Infinity", math.inf),
        ("-Infinity", -math.inf),
    ],
    ids=repr,
)
def test_floats(text, expected):
    value = quelt.loads(text)
    assert type(value) is float and bits(value) == bits(expected)


def test_nan_is_quiet_and_unsigned():
    value = quelt.loads("NaN")
    assert math.isnan(value)
    assert bits(value) == bytes.fromhex("7ff8000000000000")


@pytest.mark.parametrize(
    "text, message",
    [
        ("Inf", "Unexpected character found when decoding 'Infinity'"),
        ("Infinit", "Unexpected character found when decoding 'Infinity'"),
        ("Iinfinity", "Unexpected character found when decoding 'Infinity'"),
        ("Na", "Unexpected character found when decoding 'NaN'"),
        ("NAN", "Unexpected character found when decoding 'NaN'"),
        ("-Inf", "Unexpected character found when decoding '-Infinity'"),
        ("-I", "Unexpected character found when decoding '-Infinity'"),
        ("NaNx", "Trailing data"),
        ("Infinity1", "Trailing data"),
        ("1e", "Trailing data"),
        ("1e+", "Trailing data"),
        ("1.5.5", "Trailing data"),
        ("0x10", "Trailing data"),
        ("[1e]", "Unexpected character found when decoding array value (2)"),
        ("nan", "Unexpected character found when decoding 'null'"),
        ("+1", "Expected object or value"),
    ],
    ids=repr,
)
def test_rejected(text, message):
    with pytest.raises(quelt.JSONDecodeError) as info:
        quelt.loads(text)
    assert info.value.args == (message,)


def test_integer_beyond_interpreter_digit_limit_raises_its_value_error():
    limit = sys.get_int_max_str_digits()
    with pytest.raises(ValueError) as info:
        quelt.loads("1" * (limit + 1))
    assert type(info.value) is ValueError


def test_numbers_in_containers():
    assert quelt.loads('{"a":-1,"b":[1.5e3,2,-0,18446744073709551616]}') == {
        "a": -1,
        "b": [1500.0, 2, 0, 2**64],
    }


# Number texts of any length give the correctly rounded double (Python's
# float() is the reference); long ones are condensed before conversion,
# keeping the rounding of the digits they drop.
LONG_NUMBERS = {
    "many-integer-zeros": "1" + "0" * 5000 + ".0e-5000",
    "many-fraction-zeros": "0." + "0" * 3000 + "1e3001",
    "negative-zero": "-0." + "0" * 5000,
    "halfway-rounds-to-even": "9007199254740993." + "0" * 2000,
    "past-halfway-far-out": "9007199254740993." + "0" * 2000 + "1",
    "below-halfway-far-out": "9007199254740992." + "9" * 2000,
    "huge-exponent": "1e" + "9" * 5000,
    "tiny-exponent": "1e-" + "9" * 5000,
    "zeros-then-huge-exponent": "0." + "0" * 2000 + "1e+" + "0" * 3000 + "2400",
    "many-significant-digits": "1." + "234567890" * 500 + "e-300",
    "subnormal": "4." + "9" * 3000 + "e-324",
}


@pytest.mark.parametrize("text", LONG_NUMBERS.values(), ids=LONG_NUMBERS.keys())
def test_long_number_texts(text):
    value = quelt.loads(text)
    assert bits(value) == bits(float(text))
    assert quelt.loads(f"[{text},1]") == [float(text), 1]


def test_number_texts_of_half_a_gigabyte():
    # Hundreds of megabytes of digits once overflowed the converter's own
    # counters (an abort, or 0.0 for infinity): run apart, as that killed
    # the process.
    code = """if True:
        import quelt
        zeros = b"0" * 2**29
        assert quelt.loads(b"0." + zeros + b"e0") == 0.0
        assert quelt.loads(b"0." + zeros + b"1e" + str(2**29 + 400).encode()) == float("inf")
        print("ok")
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout == "ok\n", done.stderr


def random_number_texts(seed, count):
    """Float texts of every shape the decoder gathers into a mantissa and a
    power of ten: integer parts of 0 to 25 digits, fractions of 0 to 30
    (leading zeros, runs of 9s), exponents near zero and far out."""
    import random

    rng = random.Random(seed)
    texts = []
    for _ in range(count):
        digit = (lambda: "9") if rng.random() < 0.2 else (lambda: rng.choice("0123456789"))
        integer = rng.choice("123456789") + "".join(digit() for _ in range(rng.randrange(25)))
        if rng.random() < 0.3:
            integer = "0"
        text = ("-" if rng.random() < 0.5 else "") + integer
        if rng.random() < 0.8:
            zeros = "0" * (rng.randrange(12) if rng.random() < 0.3 else 0)
            text += "." + zeros + "".join(digit() for _ in range(rng.randrange(31)))
        if text.endswith(".") or rng.random() < 0.4 or "." not in text:
            marker = rng.choice(["e", "E", "e+", "e-", "E-"])
            text += marker + str(rng.randrange(400) if rng.random() < 0.2 else rng.randrange(30))
        texts.append(text)
    return texts


# The last member only sets how the document is stored: UTF-8 bytes, an ASCII
# str, or a str of two-byte units (read unit by unit).
@pytest.mark.parametrize("last, storage", [("a", bytes), ("a", str), ("\u0101", str)],
                         ids=["bytes", "ascii-str", "two-byte-str"])
def test_random_float_texts_round_like_float(last, storage):
    texts = random_number_texts(20261210, 20000)
    doc = "[" + ",".join(texts) + ',"' + last + '"]'
    values = quelt.loads(doc.encode() if storage is bytes else doc)[:-1]
    for text, value in zip(texts, values):
        assert bits(value) == bits(float(text)), text


# Integers of every length up to past the limb path's 640 digits, both
# signs, from every storage; Python's int() is the reference.
@pytest.mark.parametrize("last, storage", [("a", bytes), ("a", str), ("\u0101", str), ("\U0001f600", str)],
                         ids=["bytes", "ascii-str", "two-byte-str", "four-byte-str"])
def test_random_integer_texts(last, storage):
    rng = random.Random(20261211)
    texts = []
    for length in range(1, 700):
        for _ in range(3):
            text = str(rng.randrange(1, 10)) + "".join(rng.choice("0123456789") for _ in range(length - 1))
            texts.append("-" + text if rng.random() < 0.4 else text)
    doc = "[" + ",".join(texts) + ',"' + last + '"]'
    values = quelt.loads(doc.encode() if storage is bytes else doc)[:-1]
    for text, value in zip(texts, values):
        assert value == int(text), text
