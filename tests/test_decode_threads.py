"""Decoding from several threads at once gives the single-threaded results."""
import threading

import quelt
from conftest import REAL_DOCUMENTS, real_document_bytes

SMALL_DOCS = [
    b'{"a": [1, 2.5, "\\u00e9", null, true], "b": {"c": -18446744073709551617}}',
    b'["\xc3\xa9\\ud83d\\ude00", 1e400, NaN]',
    b"[1, 2",  # an error, reported the same way on every thread
    b'{"k": "' + b"x" * 5000 + b'\\n"}',
]


def outcome(doc):
    try:
        return ("ok", repr(quelt.loads(doc)))
    except quelt.JSONDecodeError as exc:
        return ("error", exc.args)


def test_concurrent_decoding_matches_serial():
    docs = list(SMALL_DOCS)
    docs.extend(real_document_bytes(name) for name in REAL_DOCUMENTS)
    expected = [outcome(d) for d in docs]

    barrier = threading.Barrier(4)
    failures = []

    def worker(seed):
        barrier.wait()
        for round_ in range(3):
            for i in range(len(docs)):
                j = (i + seed + round_) % len(docs)
                got = outcome(docs[j])
                if got != expected[j]:
                    failures.append((j, got[0]))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
