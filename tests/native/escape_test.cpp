// The string escapers on their own, without an interpreter: a table of
// cases with their exact output or error, and a comparison with a plain
// byte-at-a-time reference on generated inputs, which reaches every
// position of the sixteen-byte scans.  Exits non-zero on the first mismatch.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/escape.h"
#include "tests/native/utf8_reference.h"

namespace {

int g_failures = 0;

bool has_non_ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return true;
    return false;
}

// Runs an escaper the way the encoder does: the input followed by a NUL,
// kEscapedBytesPerByte bytes of room per input byte (twice that for code
// points above U+FFFF).  Returns the output, or "ERROR: <message>".  The
// validating escaper must report exactly the outputs that are not ASCII:
// the encoder hands an ASCII output over as its str without a look.
std::string escape_bytes(const std::string& input, EscapeOptions options) {
    std::string in = input;
    in.push_back('\0');
    std::vector<char> out(input.size() * kEscapedBytesPerByte + 16);
    const char* error = nullptr;
    bool copiedNonAscii = false;
    const char* first = in.data();
    const char* last = first + input.size();
    char* end = options.ensureAscii
                    ? Buffer_EscapeStringValidated(options, first, last, out.data(), &error, &copiedNonAscii)
                    : Buffer_EscapeStringUnvalidated(options, first, last, out.data());
    if (!end) return std::string("ERROR: ") + error;
    std::string text(out.data(), end);
    // The encoder's shortcut for short text may take only what the escaper
    // would copy unchanged, and writes nothing past it.
    std::vector<char> shortcut(input.size() + 8, 0x5A);
    if (copy_short_plain(input.data(), input.size(), shortcut.data()) &&
        (std::string(shortcut.data(), input.size()) != text || shortcut[input.size()] != 0x5A)) {
        ++g_failures;
        fprintf(stderr, "FAIL short plain copy differs for %s\n", show(input).c_str());
    }
    if (options.ensureAscii && copiedNonAscii != has_non_ascii(text)) {
        ++g_failures;
        fprintf(stderr, "FAIL non-ASCII copy %s for %s\n", copiedNonAscii ? "reported" : "missed",
                show(input).c_str());
    }
    return text;
}

template <typename Unit>
std::string escape_units(const std::vector<Unit>& units, EscapeOptions options) {
    // The room callers reserve: six bytes per unit, twelve for a 4-byte
    // unit under ensureAscii (a surrogate pair of escapes), and under
    // ensureAscii the slack of its word stores.  Nothing may be written
    // past it.
    const size_t room = units.size() * kEscapedBytesPerByte * (sizeof(Unit) == 4 && options.ensureAscii ? 2 : 1) +
                        (options.ensureAscii ? kEscapeWordSlack : 0);
    constexpr char kGuard = 0x5A;
    std::vector<char> out(room + 16, kGuard);
    char* end = escape_code_points(options, units.data(), units.size(), out.data());
    for (size_t i = room; i < out.size(); ++i)
        if (out[i] != kGuard) {
            ++g_failures;
            fprintf(stderr, "FAIL wrote past the room of %zu units\n", units.size());
            break;
        }
    return std::string(out.data(), end);
}

// The same through the escaper that writes units of the input's own width
// (ensureAscii off, for a str that is not ASCII): its units as UTF-8, to
// compare with the UTF-8 escapers' text.  The room is six units per unit
// and the slack of its word stores, and the output need not be aligned: it
// starts one byte into the buffer.
template <typename Unit>
std::string escape_units_in_kind(const std::vector<Unit>& units, EscapeOptions options) {
    const size_t room = units.size() * kEscapedBytesPerByte * sizeof(Unit) + kEscapeWordSlack;
    constexpr char kGuard = 0x5A;
    std::vector<char> out(1 + room + 16, kGuard);
    char* const first = out.data() + 1;
    char* end = escape_in_kind(options, units.data(), units.size(), first);
    for (size_t i = 1 + room; i < out.size(); ++i)
        if (out[i] != kGuard) {
            ++g_failures;
            fprintf(stderr, "FAIL in-kind escaper wrote past the room of %zu units\n", units.size());
            break;
        }
    std::string text;
    for (const char* p = first; p < end; p += sizeof(Unit)) {
        Unit unit;
        memcpy(&unit, p, sizeof unit);
        text += utf8_of(unit);
    }
    return text;
}

void expect(const char* what, const std::string& got, const std::string& want) {
    if (got == want) return;
    ++g_failures;
    fprintf(stderr, "FAIL %s\n  got:  %s\n  want: %s\n", what, show(got).c_str(), show(want).c_str());
}

// ---- the reference ------------------------------------------------------------

std::string hex4(uint32_t unit) {
    char text[16];
    snprintf(text, sizeof text, "\\u%04x", unsigned(unit));
    return text;
}

std::string reference_ascii(uint32_t c, EscapeOptions options) {
    switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '/': return options.escapeForwardSlashes ? "\\/" : "/";
    case '<': case '>': case '&': return options.encodeHTMLChars ? hex4(c) : std::string(1, char(c));
    default: return c < 0x20 ? hex4(c) : std::string(1, char(c));
    }
}

// The escapers' rules written out one byte at a time.
std::string reference_escape(const std::string& input, EscapeOptions options) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    const size_t n = input.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out += reference_ascii(b, options);
            ++i;
            continue;
        }
        if (!options.ensureAscii || (b >= 0x80 && b <= 0xBF) || b >= 0xFE) {
            out += char(b);  // copied as it is
            ++i;
            continue;
        }
        if (b >= 0xF8) return "ERROR: Unsupported UTF-8 sequence length when encoding string";
        const size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        if (n - i < length) return "ERROR: Unterminated UTF-8 sequence when encoding string";
        for (size_t k = 1; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return "ERROR: Invalid continuation byte in " + std::to_string(length) +
                       "-byte UTF-8 sequence detected when encoding string";
        uint32_t cp = length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
        for (size_t k = 1; k < length; ++k) cp = cp << 6 | (p[i + k] & 0x3F);
        if (cp > 0x10FFFF) return "ERROR: >U+10FFFF in 4-byte UTF-8 sequence detected when encoding string";
        const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (cp < least)
            return "ERROR: Overlong " + std::to_string(length) + "-byte UTF-8 sequence detected when encoding string";
        if (cp < 0x10000) {
            out += hex4(cp);
        } else {
            out += hex4(0xD800 + ((cp - 0x10000) >> 10));
            out += hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        i += length;
    }
    return out;
}

// ---- the table -----------------------------------------------------------------

constexpr EscapeOptions kAscii{true, false, true};
constexpr EscapeOptions kUtf8{false, false, true};
constexpr EscapeOptions kHtml{true, true, false};

struct Case {
    const char* name;
    std::string input;
    EscapeOptions options;
    std::string want;
};

void run_table() {
    using namespace std::string_literals;
    const Case cases[] = {
        {"plain", "hello", kAscii, "hello"},
        {"short escapes", "\"\\\b\f\n\r\t", kAscii, "\\\"\\\\\\b\\f\\n\\r\\t"},
        {"controls", "\x01\x1f\x7f", kAscii, "\\u0001\\u001f\x7f"},
        {"embedded NUL", "a\0b"s, kAscii, "a\\u0000b"},
        {"slash escaped", "a/b", kAscii, "a\\/b"},
        {"slash kept", "a/b", kHtml, "a/b"},
        {"html", "<&>", kHtml, "\\u003c\\u0026\\u003e"},
        {"html kept", "<&>", kAscii, "<&>"},
        {"two-byte", "caf\xc3\xa9", kAscii, "caf\\u00e9"},
        {"three-byte", "\xe2\x82\xac", kAscii, "\\u20ac"},
        {"four-byte pair", "\xf0\x9f\x98\x80", kAscii, "\\ud83d\\ude00"},
        {"lone surrogate", "\xed\xa0\x80", kAscii, "\\ud800"},
        {"utf-8 copied", "caf\xc3\xa9 \xf0\x9f\x98\x80", kUtf8, "caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"invalid copied without validation", "\xff\xc3(", kUtf8, "\xff\xc3("},
        {"stray continuation copied", "a\x80z", kAscii, "a\x80z"},
        {"0xFE copied", "\xfe", kAscii, "\xfe"},
        {"truncated", "a\xe2\x82", kAscii, "ERROR: Unterminated UTF-8 sequence when encoding string"},
        {"bad continuation 2", "\xc3(", kAscii,
         "ERROR: Invalid continuation byte in 2-byte UTF-8 sequence detected when encoding string"},
        {"bad continuation 3", "\xe2(\xac", kAscii,
         "ERROR: Invalid continuation byte in 3-byte UTF-8 sequence detected when encoding string"},
        {"bad continuation 4", "\xf0\x9f\x98(", kAscii,
         "ERROR: Invalid continuation byte in 4-byte UTF-8 sequence detected when encoding string"},
        {"overlong 2", "\xc0\x80", kAscii, "ERROR: Overlong 2-byte UTF-8 sequence detected when encoding string"},
        {"overlong 3", "\xe0\x80\x80", kAscii, "ERROR: Overlong 3-byte UTF-8 sequence detected when encoding string"},
        {"overlong 4", "\xf0\x80\x80\x80", kAscii,
         "ERROR: Overlong 4-byte UTF-8 sequence detected when encoding string"},
        {"above max", "\xf4\x90\x80\x80", kAscii,
         "ERROR: >U+10FFFF in 4-byte UTF-8 sequence detected when encoding string"},
        {"five-byte lead", "\xf8\x88\x80\x80\x80", kAscii,
         "ERROR: Unsupported UTF-8 sequence length when encoding string"},
        {"long run then escape", std::string(40, 'x') + "\"" + std::string(20, 'y'), kAscii,
         std::string(40, 'x') + "\\\"" + std::string(20, 'y')},
    };
    for (const Case& c : cases) expect(c.name, escape_bytes(c.input, c.options), c.want);

    // Code points straight from a str's storage write what the byte
    // escapers write for their UTF-8 form.
    expect("ucs1", escape_units(std::vector<uint8_t>{'a', 0xE9, '/', 0}, kAscii), "a\\u00e9\\/\\u0000");
    expect("ucs2", escape_units(std::vector<uint16_t>{0x20AC, 0xD800, '<'}, kUtf8), "\xe2\x82\xac\xed\xa0\x80<");
    expect("ucs4 pair", escape_units(std::vector<uint32_t>{0x1F600, 'x'}, kAscii), "\\ud83d\\ude00x");
    expect("ucs4 utf-8", escape_units(std::vector<uint32_t>{0x1F600}, kUtf8), "\xf0\x9f\x98\x80");
}

// ---- generated inputs ------------------------------------------------------------

std::string random_text(std::mt19937& rng, size_t length) {
    static const char* const pieces[] = {
        "a", "b", "z", " ", "\"", "\\", "/", "<", ">", "&", "\n", "\t", "\x01", "\x1f", "\x7f",
        "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xed\xa0\x80", "\x80", "\xff", "\xc3",
        "\xe2\x82", "\xf4\x90\x80\x80", "\xc0\x80",
    };
    constexpr size_t kPieces = sizeof pieces / sizeof *pieces;
    std::string out;
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<size_t> pick(0, kPieces);  // kPieces: an embedded NUL
    while (out.size() < length) {
        // Mostly plain letters, so that runs of all lengths reach the scans.
        if (percent(rng) < 85) {
            out += char('a' + percent(rng) % 26);
        } else {
            const size_t piece = pick(rng);
            if (piece == kPieces) out.push_back('\0');
            else out += pieces[piece];
        }
    }
    return out;
}

void run_generated() {
    std::mt19937 rng(20261210);
    const EscapeOptions optionSets[] = {kAscii, kUtf8, kHtml, {false, true, false}};
    std::uniform_int_distribution<size_t> length(0, 80);
    long compared = 0;
    for (int i = 0; i < 200000 && g_failures < 5; ++i) {
        const std::string input = random_text(rng, length(rng));
        for (const EscapeOptions& options : optionSets) {
            expect("generated", escape_bytes(input, options), reference_escape(input, options));
            ++compared;
        }
    }
    // One special byte at every position of plain runs of every length up
    // to three blocks and a tail: the block scan and the overlapping loads
    // of the last bytes both meet it everywhere.
    const char specials[] = {'"', '\\', '/', '<', '\n', '\x01', '\0', '\x80'};
    for (size_t length = 1; length <= 56; ++length)
        for (size_t at = 0; at < length; ++at)
            for (char special : specials)
                for (const EscapeOptions& options : optionSets) {
                    std::string input(length, 'p');
                    input[at] = special;
                    expect("sweep", escape_bytes(input, options), reference_escape(input, options));
                    ++compared;
                }
    printf("escape_test: %ld generated inputs compared with the reference\n", compared);
}

// ---- code points -------------------------------------------------------------------

// What the code-point escapers write, one code point at a time.
std::string reference_code_points(const std::vector<uint32_t>& points, EscapeOptions options) {
    std::string out;
    for (uint32_t cp : points) {
        if (cp < 0x80) {
            out += reference_ascii(cp, options);
        } else if (options.ensureAscii && cp < 0x10000) {
            out += hex4(cp);
        } else if (options.ensureAscii) {
            out += hex4(0xD800 + ((cp - 0x10000) >> 10));
            out += hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += utf8_of(cp);
        }
    }
    return out;
}

// The code points that are not plain letters, up to the largest a unit of
// each width holds: the ASCII characters with escapes, and the edges of
// the narrowing to bytes (0x80, 0x100, 0x8000 and their neighbours), the
// surrogates and the astral planes.
const uint32_t kSpecialPoints[] = {
    '"', '\\', '/', '<', '>', '&', '\n', '\t', 0x01, 0x1F, 0x00, 0x7F,      // ASCII
    0x80, 0xA9, 0xE9, 0xFF,                                                  // UCS1
    0x100, 0x17F, 0x7FF, 0x800, 0x20AC, 0x7FFF, 0x8000, 0x8A9E, 0xD800,      // UCS2
    0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0xFFFF,
    0x10000, 0x1F600, 0x10FFFF,                                              // UCS4
};

template <typename Unit>
void compare_code_points(const std::vector<uint32_t>& points, const char* what, long* compared) {
    const std::vector<Unit> units(points.begin(), points.end());
    for (int bits = 0; bits < 8; ++bits) {  // every option combination
        const EscapeOptions options{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0};
        const std::string want = reference_code_points(points, options);
        expect(what, escape_units(units, options), want);
        ++*compared;
        if (!options.ensureAscii) {
            expect(what, escape_units_in_kind(units, options), want);
            ++*compared;
        }
    }
}

// A str's code units of one width against the reference: random texts,
// then each special code point at every position of plain runs of every
// length up to three blocks and a tail.
template <typename Unit>
void run_code_points(std::mt19937& rng, long* compared) {
    std::vector<uint32_t> specials;
    for (uint32_t cp : kSpecialPoints)
        if (cp <= Unit(~Unit(0))) specials.push_back(cp);
    std::uniform_int_distribution<size_t> length(0, 80);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<size_t> pick(0, specials.size() - 1);
    for (int i = 0; i < 20000 && g_failures < 5; ++i) {
        std::vector<uint32_t> points(length(rng));
        for (uint32_t& cp : points) cp = percent(rng) < 85 ? uint32_t('a' + percent(rng) % 26) : specials[pick(rng)];
        compare_code_points<Unit>(points, "generated code points", compared);
    }
    for (size_t n = 1; n <= 56; ++n)
        for (size_t at = 0; at < n; ++at)
            for (uint32_t special : specials) {
                std::vector<uint32_t> points(n, 'p');
                points[at] = special;
                compare_code_points<Unit>(points, "code point sweep", compared);
            }
    // Text that switches between ASCII and other characters every few
    // units, long enough for several blocks and dense stretches in turn,
    // and text of one escape repeated, which fills all of its room.
    std::uniform_int_distribution<size_t> mixedLength(0, 200);
    for (int i = 0; i < 20000 && g_failures < 5; ++i) {
        std::vector<uint32_t> points(mixedLength(rng));
        for (uint32_t& cp : points) cp = percent(rng) < 50 ? uint32_t('a' + percent(rng) % 26) : specials[pick(rng)];
        compare_code_points<Unit>(points, "mixed code points", compared);
    }
    for (size_t n = 1; n <= 56; ++n)
        for (uint32_t special : specials)
            compare_code_points<Unit>(std::vector<uint32_t>(n, special), "one escape repeated", compared);
}

void run_generated_code_points() {
    std::mt19937 rng(20261211);
    long compared = 0;
    run_code_points<uint8_t>(rng, &compared);
    run_code_points<uint16_t>(rng, &compared);
    run_code_points<uint32_t>(rng, &compared);
    printf("escape_test: %ld code point inputs compared with the reference\n", compared);
}

}  // namespace

int main() {
    run_table();
    run_generated();
    run_generated_code_points();
    if (g_failures) {
        fprintf(stderr, "escape_test: %d failures\n", g_failures);
        return 1;
    }
    printf("escape_test: all cases passed\n");
    return 0;
}
