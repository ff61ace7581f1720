// Private to the encoder: the written form of recent dictionary keys, so
// that a key seen again is one copy instead of an escape.  Documents repeat
// a few keys many times over (one per record), and json.loads and quelt's
// own decoder hand out one str object per distinct key, so the key object
// itself is the cache key: no hashing and no comparison of text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// Quote, escaped key, quote, key separator, as written under the call's
// options (constant for the call).
struct KeyCacheEntry {
    PyObject* key;  // a strong reference (an exact str), or null
    uint8_t length;
    char text[55];
};
static_assert(sizeof(KeyCacheEntry) == 64, "one cache line per entry");

// Four-way set-associative on the key's address: a document's hundred or so
// distinct keys would often meet in one slot of a direct-mapped table, and
// two keys of the same records that share a slot would evict each other at
// every record.  Within a set the most recently written key comes first.
// The entries hold their keys, so an address cannot be reused by another
// object while its entry stands, and a str never changes: a key found is the
// same text.  The cache belongs to one call and to its thread; it is made
// only once the call has written kKeyCacheAfter keys, so small documents
// pay nothing for it.
inline constexpr size_t kKeyCacheWays = 4;
inline constexpr size_t kKeyCacheSets = 64;
inline constexpr size_t kKeyCacheEntries = kKeyCacheWays * kKeyCacheSets;
inline constexpr uint32_t kKeyCacheAfter = 64;

struct KeyCache {
    KeyCacheEntry* entries;  // null until made
    uint32_t keysWritten;
};

// The first of the kKeyCacheWays entries where `key` may be.
inline KeyCacheEntry* KeyCache_set(KeyCache* cache, PyObject* key) noexcept {
    // Fibonacci hashing: the top bits of the address times 2^64 / phi, which
    // spreads addresses on a regular stride (objects of one size in one
    // allocator page) over all the sets.
    static_assert(kKeyCacheSets == 64, "the top 6 bits pick the set");
    const uint64_t address = reinterpret_cast<uintptr_t>(key);
    return &cache->entries[((address * 0x9E3779B97F4A7C15ULL) >> 58) * kKeyCacheWays];
}

// Releases the keys held and the table.  A str's deallocation runs no user
// code (subclasses, which could, are never cached).
inline void KeyCache_Release(KeyCache* cache) noexcept {
    if (!cache->entries) return;
    for (size_t i = 0; i < kKeyCacheEntries; ++i) Py_XDECREF(cache->entries[i].key);
    PyMem_Free(cache->entries);
    cache->entries = nullptr;
}
