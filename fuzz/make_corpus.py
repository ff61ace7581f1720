"""Writes the seed corpora of the fuzz targets.

    python fuzz/make_corpus.py OUTDIR [DATA]

OUTDIR/loads gets JSON texts: slices and sub-documents of the real documents
in DATA/documents (gzip-compressed), the files of DATA/jsonchecker and
DATA/roundtrip (DATA is tests/data by default), every string and bytes
constant of the decoder tests' tables, and a few hand-made hostile texts.
OUTDIR/dumps gets programs for the tree builder of quelt_fuzz_checks.py:
the same real documents' sub-values written in the builder's format, and
random programs.  OUTDIR/numconv gets number texts (also read as the bits of
a double): a sample of the real documents' numbers and the edge forms.
Seeds are capped at MAX_SEED bytes, the fuzzers' -max_len.
Uses only the standard library, so any Python runs it.
"""
import ast
import gzip
import hashlib
import json
import random
import re
import struct
import sys
from pathlib import Path

MAX_SEED = 8192
HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def write(outdir, data):
    if not data or len(data) > MAX_SEED:
        return
    name = hashlib.sha1(data).hexdigest()
    (outdir / name).write_bytes(data)


def sub_values(value, out, limit=400):
    """Collects containers of the document, small enough to be seeds."""
    if len(out) >= limit:
        return
    if isinstance(value, (list, dict)):
        out.append(value)
        members = value if isinstance(value, list) else value.values()
        for member in members:
            sub_values(member, out, limit)


def sized(values, rng, count):
    small = [v for v in values if len(json.dumps(v)) <= MAX_SEED // 2]
    rng.shuffle(small)
    return small[:count]


def test_table_constants():
    """Every str and bytes literal in the decoder tests: their tables."""
    for path in sorted((ROOT / "tests").glob("test_decode_*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
                value = node.value
                yield value.encode("utf-8", "surrogatepass") if isinstance(value, str) else value


HOSTILE = [
    b"[" * 1100,
    b'{"a":' * 600,
    b'"' + b"\\ud83d\\ude00" * 40 + b'"',
    b'"' + bytes(range(0x80, 0x100)) + b'"',
    b"[1e999999999,-1e-99999,0." + b"1" * 800 + b"]",
    b"[18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809]",
    b'{"\\u0000":"\\u0000","\xed\xa0\x80":"\xf4\x8f\xbf\xbf"}',
    b"[NaN,Infinity,-Infinity,-,-0,01.5,1.,1.e2,-.5]",
    b'{["a"]:1,"b":[{"c":{}}]}',
]


NUMBER_FORMS = [
    b"0", b"-0.0", b"1.", b"1.e5", b"-.5", b"01.5", b"1e", b"1e+", b"1e-5x", b"1E+308", b"1e309",
    b"4.9406564584124654e-324", b"2.4703282292062328e-324", b"1.7976931348623157e308",
    b"9007199254740993", b"123456789012345678901234567890e-10", b"0." + b"9" * 800 + b"1e-300",
    b"-0." + b"1" * 40 + b"e-1000000000", b"NaN", b"-Infinity", b"+1",
]
NUMBER = re.compile(rb"-?[0-9][0-9.eE+-]*")


# ---- programs for the dumps builder -----------------------------------------------------
# The inverse of quelt_fuzz_checks.build for plain JSON values: tag bytes,
# then payload, in the order build() reads them.

def emit_str(text):
    chars = text[:23]
    out = bytearray([len(chars)])
    for ch in chars:
        cp = ord(ch)
        # Ranges of CODE_POINT_RANGES: 0 printable ASCII, 7 up to U+07FF,
        # 8 the rest of the BMP, 10 beyond.
        if 0x20 <= cp < 0x7F:
            out += bytes([0]) + (cp - 0x20).to_bytes(3, "little")
        elif 0x80 <= cp < 0x800:
            out += bytes([7]) + (cp - 0x80).to_bytes(3, "little")
        elif 0x800 <= cp < 0x10000:
            out += bytes([8]) + (cp - 0x800).to_bytes(3, "little")
        elif cp >= 0x10000:
            out += bytes([10]) + (cp - 0x10000).to_bytes(3, "little")
        else:
            out += bytes([1]) + cp.to_bytes(3, "little")
    return bytes(out)


def emit(value, depth=0):
    if value is None or depth >= 10:
        return bytes([0])
    if isinstance(value, bool):
        return bytes([1, int(value)])
    if isinstance(value, int):
        if -(2**63) <= value < 2**63:
            return bytes([2, 1]) + value.to_bytes(8, "little", signed=True)
        size = (value.bit_length() + 8) // 8
        if size > 48:
            return bytes([0])
        return bytes([2, 3, size - 1]) + value.to_bytes(size, "little", signed=True)
    if isinstance(value, float):
        return bytes([4, 0]) + struct.pack("<d", value)
    if isinstance(value, str):
        return bytes([6]) + emit_str(value)
    if isinstance(value, list):
        items = value[:5]
        return bytes([8, len(items)]) + b"".join(emit(v, depth + 1) for v in items)
    if isinstance(value, dict):
        items = list(value.items())[:5]
        out = bytes([11, len(items)])
        for k, v in items:
            out += bytes([0]) + emit_str(k) + emit(v, depth + 1)
        return out
    return bytes([0])


def options_prefix(rng):
    return bytes([rng.randrange(256), rng.randrange(8), rng.randrange(6)])


def main():
    outdir = Path(sys.argv[1])
    data = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "tests" / "data"
    rng = random.Random(20261210)
    number_rng = random.Random(20261210)  # its own, so that the other seeds stay as they were
    loads_dir, dumps_dir, numconv_dir = outdir / "loads", outdir / "dumps", outdir / "numconv"
    for directory in (loads_dir, dumps_dir, numconv_dir):
        directory.mkdir(parents=True, exist_ok=True)
    for text in NUMBER_FORMS:
        write(numconv_dir, text)

    documents = []
    packed = sorted((data / "documents").glob("*.json.gz"))
    if not packed:
        sys.exit(f"make_corpus.py: no documents in {data / 'documents'}")
    for path in packed:
        raw = gzip.decompress(path.read_bytes())
        write(loads_dir, raw[:MAX_SEED])  # a cut document: errors at the cut
        numbers = NUMBER.findall(raw)
        for number in number_rng.sample(numbers, min(len(numbers), 100)):
            write(numconv_dir, number)
        documents.append(json.loads(raw))
    for path in sorted((data / "jsonchecker").glob("*.json")) + sorted((data / "roundtrip").glob("*.json")):
        write(loads_dir, path.read_bytes())
    for constant in test_table_constants():
        write(loads_dir, constant)
    for text in HOSTILE:
        write(loads_dir, text)

    for document in documents:
        values = []
        sub_values(document, values)
        for value in sized(values, rng, 60):
            write(loads_dir, json.dumps(value).encode())
            write(loads_dir, json.dumps(value, ensure_ascii=False, indent=1).encode())
            write(dumps_dir, options_prefix(rng) + emit(value))

    for _ in range(200):
        write(dumps_dir, bytes(rng.randrange(256) for _ in range(rng.randrange(4, 400))))


if __name__ == "__main__":
    main()
