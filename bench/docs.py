"""The documents the benchmarks run on.

Three real-world files are read from the repository's test data
(``tests/data/documents``, stored gzip-compressed) or from ``$BENCH_DATA``,
a directory holding them as ``NAME.json`` or ``NAME.json.gz``:

* ``twitter.json``       text and a lot of non-ASCII Unicode
* ``citm_catalog.json``  many objects with repeated keys, mostly integers
* ``canada.json``        coordinates: almost nothing but floats

Four more are generated here, deterministically (each from its own fixed
seed), to stress what those three miss:

* ``long_strings``   long strings full of escapes, control characters,
                     Latin-1, CJK and astral-plane (surrogate pair) characters
* ``big_integers``   integers beyond 64 bits, both signs, mixed with a few
                     that fit
* ``deep_nesting``   chains of objects and arrays nested 1000 levels deep
                     (below quelt's limit of 1024)
* ``small_objects``  tens of thousands of tiny objects

Each document is handed out as the JSON text in UTF-8 bytes; the generated
ones are serialised with the standard library's ``json`` (``ensure_ascii=False``
so that the non-ASCII stays raw UTF-8 in the input, as in twitter.json).

``memory_document`` builds the ~100 MB object used by the memory benchmark,
directly as Python objects, so that no JSON text is ever held beside it.
"""

from __future__ import annotations

import gzip
import json
import os
import random
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_DATA_DIR = ROOT / "tests" / "data" / "documents"

REAL_FILES = {
    "twitter": ("twitter.json", "real: text, Unicode"),
    "citm_catalog": ("citm_catalog.json", "real: repeated keys, integers"),
    "canada": ("canada.json", "real: floats"),
}

# The depth of the generated nested document, counting the outer array.
DEEP_LEVELS = 1000


@dataclass
class Document:
    name: str
    description: str
    data: bytes  # the JSON text, UTF-8


def data_dir() -> Path:
    return Path(os.environ.get("BENCH_DATA") or DEFAULT_DATA_DIR)


def read_document(path: Path) -> bytes:
    """The bytes of ``path``, or of ``path`` + ``.gz`` decompressed when only
    that exists.  FileNotFoundError names both when neither does."""
    if path.is_file():
        return path.read_bytes()
    packed = path.with_name(path.name + ".gz")
    if packed.is_file():
        return gzip.decompress(packed.read_bytes())
    raise FileNotFoundError(f"neither {path} nor {packed.name} exists")


# ---- generated documents ---------------------------------------------------

_ESCAPES = ['"', "\\", "/", "\n", "\r", "\t", "\b", "\f", "\x00", "\x01", "\x1f"]
_LATIN = "àéîõüßçñÆØÅ¿¡«»"
_CJK = "日本語中文한국어漢字仮名"
_ASTRAL = "😀🎉🚀𝄞𠜎🀄"
_ASCII_WORDS = ["lorem", "ipsum", "dolor", "sit", "amet", "json", "quelt", "data", "<b>", "&amp;"]


def _long_string(rng: random.Random, length: int) -> str:
    parts: list[str] = []
    n = 0
    while n < length:
        r = rng.random()
        if r < 0.55:
            piece = rng.choice(_ASCII_WORDS) + " "
        elif r < 0.70:
            piece = rng.choice(_ESCAPES)
        elif r < 0.82:
            piece = "".join(rng.choice(_LATIN) for _ in range(rng.randint(1, 6)))
        elif r < 0.94:
            piece = "".join(rng.choice(_CJK) for _ in range(rng.randint(1, 8)))
        else:
            piece = "".join(rng.choice(_ASTRAL) for _ in range(rng.randint(1, 3)))
        parts.append(piece)
        n += len(piece)
    return "".join(parts)


def long_strings(scale: float = 1.0) -> list:
    rng = random.Random(1001)
    count = max(4, int(120 * scale))
    return [
        {"id": i, "title": _long_string(rng, 200), "body": _long_string(rng, rng.randint(2000, 8000))}
        for i in range(count)
    ]


def big_integers(scale: float = 1.0) -> dict:
    rng = random.Random(1002)
    count = max(50, int(20000 * scale))
    values = []
    for _ in range(count):
        r = rng.random()
        if r < 0.1:
            v = rng.randint(-(2**63), 2**63 - 1)  # fits in 64 bits
        elif r < 0.6:
            v = rng.randint(2**64, 2**128)  # just beyond 64 bits
        else:
            v = rng.randint(2**128, 2**512)  # far beyond
        values.append(-v if rng.random() < 0.3 else v)
    return {"values": values, "pairs": [[values[i], values[-i - 1]] for i in range(0, count, 10)]}


def deep_nesting(scale: float = 1.0) -> list:
    rng = random.Random(1003)
    chains = max(2, int(100 * scale))
    out = []
    for c in range(chains):
        # The outer array is level 1; each chain adds DEEP_LEVELS - 1 more.
        node: object = rng.randint(0, 1000)
        for level in range(DEEP_LEVELS - 1):
            node = {"k": node} if (level + c) % 2 else [level, node]
        out.append(node)
    return out


def small_objects(scale: float = 1.0) -> list:
    rng = random.Random(1004)
    count = max(100, int(40000 * scale))
    kinds = ["a", "b", "c", "d"]
    return [
        {"id": i, "ok": rng.random() < 0.5, "kind": rng.choice(kinds), "v": rng.randint(0, 999)}
        if i % 3
        else {"x": rng.randint(-99, 99), "y": None}
        for i in range(count)
    ]


GENERATED = {
    "long_strings": (long_strings, "generated: long strings, escapes, non-ASCII"),
    "big_integers": (big_integers, "generated: integers beyond 64 bits"),
    "deep_nesting": (deep_nesting, f"generated: nesting {DEEP_LEVELS} levels deep"),
    "small_objects": (small_objects, "generated: many small objects"),
}


def _encode(obj) -> bytes:
    return json.dumps(obj, ensure_ascii=False).encode("utf-8")


def load_documents(quick: bool = False) -> list[Document]:
    """All documents, real ones first.  Raises FileNotFoundError with a hint
    when the real files are missing: a benchmark that silently drops its
    main inputs would be worse than one that stops."""
    directory = data_dir()
    docs = []
    for name, (filename, description) in REAL_FILES.items():
        try:
            data = read_document(directory / filename)
        except FileNotFoundError as exc:
            raise FileNotFoundError(
                f"{exc}; set BENCH_DATA to the directory holding "
                f"{', '.join(f for f, _ in REAL_FILES.values())} (or their .gz)"
            ) from None
        docs.append(Document(name, description, data))
    scale = 0.1 if quick else 1.0
    for name, (make, description) in GENERATED.items():
        docs.append(Document(name, description, _encode(make(scale))))
    return docs


# ---- the memory document ---------------------------------------------------

def memory_document(target_bytes: int) -> list:
    """A list of records whose JSON text (json.dumps defaults) is about
    ``target_bytes`` long: strings (some non-ASCII), integers, floats,
    booleans, null and small nested arrays, in the proportions of a typical
    API payload."""
    rng = random.Random(2001)
    words = ["alpha", "beta", "gamma", "delta", "épsilon", "zeta", "ηta", "theta", "日本", "kappa"]
    def record(i: int) -> dict:
        return {
            "id": i,
            "name": " ".join(rng.choice(words) for _ in range(rng.randint(2, 6))),
            "score": rng.random() * 1000.0,
            "count": rng.randint(0, 10**9),
            "active": rng.random() < 0.5,
            "parent": None if i % 7 else i // 7,
            "tags": [rng.choice(words) for _ in range(rng.randint(0, 4))],
            "point": [rng.uniform(-180, 180), rng.uniform(-90, 90)],
        }

    # Measure a sample exactly, then extrapolate the count.
    records = [record(i) for i in range(256)]
    per_record = (len(json.dumps(records)) - 2) / len(records)
    count = max(len(records), int(target_bytes / per_record))
    records.extend(record(i) for i in range(len(records), count))
    return records
