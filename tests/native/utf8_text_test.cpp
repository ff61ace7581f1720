// The transcoder of the encoder's UTF-8 output on its own, without an
// interpreter: measure() and transcode() against a plain decoder written
// from the table of well-formed UTF-8 (plus encoded surrogates, which
// "surrogatepass" lets in), on generated texts, valid and not, of every
// length around the sixteen-byte blocks.  Exits non-zero on a mismatch.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/utf8_text.h"
#include "tests/native/utf8_reference.h"

namespace {

int g_failures = 0;

void fail(const char* what, const std::string& input) {
    ++g_failures;
    fprintf(stderr, "FAIL %s: %s\n", what, show(input).c_str());
}

// The code points of `text`, or false when it is not well formed.
bool reference_decode(const std::string& text, std::vector<uint32_t>* points) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    auto in = [&](size_t i, unsigned low, unsigned high) { return i < n && p[i] >= low && p[i] <= high; };
    for (size_t i = 0; i < n;) {
        const unsigned b = p[i];
        if (b < 0x80) {
            points->push_back(b);
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF && in(i + 1, 0x80, 0xBF)) {
            points->push_back((b & 0x1F) << 6 | (p[i + 1] & 0x3F));
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF && in(i + 1, b == 0xE0 ? 0xA0 : 0x80, 0xBF) && in(i + 2, 0x80, 0xBF)) {
            points->push_back((b & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F));
            i += 3;
        } else if (b >= 0xF0 && b <= 0xF4 && in(i + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) &&
                   in(i + 2, 0x80, 0xBF) && in(i + 3, 0x80, 0xBF)) {
            points->push_back((b & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F));
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

uint32_t kind_bound(const std::vector<uint32_t>& points) {
    uint32_t max = 0;
    for (uint32_t cp : points) max = cp > max ? cp : max;
    return max < 0x80 ? 0x7F : max < 0x100 ? 0xFF : max < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// Transcodes into units of one width with a guard after them; true when
// the call succeeded, with the units in *out.  A write past the room fails.
template <typename Unit>
bool run_transcode(const std::string& text, size_t units, std::vector<uint32_t>* out, const std::string& input) {
    constexpr Unit kGuard = Unit(0x5A);
    std::vector<Unit> room(units + 8, kGuard);
    const bool done = utf8::transcode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), room.data(), units);
    for (size_t i = units; i < room.size(); ++i)
        if (room[i] != kGuard) fail("wrote past its room", input);
    out->assign(room.begin(), room.begin() + long(units));
    return done;
}

void check(const std::string& text) {
    const utf8::TextShape shape = utf8::measure(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    std::vector<uint32_t> want;
    const bool valid = reference_decode(text, &want);
    std::vector<uint32_t> got;
    if (!valid) {
        // However it was measured, the text is refused at every width.
        if (run_transcode<uint8_t>(text, shape.codePoints, &got, text) ||
            run_transcode<uint16_t>(text, shape.codePoints, &got, text) ||
            run_transcode<uint32_t>(text, shape.codePoints, &got, text))
            fail("invalid text accepted", text);
        return;
    }
    if (shape.codePoints != want.size()) fail("code point count", text);
    if (shape.maxChar != kind_bound(want)) fail("kind", text);
    const uint32_t bound = shape.maxChar;
    // The measured width takes the text; a narrower one refuses it.
    bool done = bound <= 0xFF ? run_transcode<uint8_t>(text, want.size(), &got, text)
                : bound <= 0xFFFF ? run_transcode<uint16_t>(text, want.size(), &got, text)
                                  : run_transcode<uint32_t>(text, want.size(), &got, text);
    if (!done || got != want) fail("transcoded text", text);
    if (bound > 0xFF && run_transcode<uint8_t>(text, want.size(), &got, text)) fail("too wide for UCS1", text);
    if (bound > 0xFFFF && run_transcode<uint16_t>(text, want.size(), &got, text)) fail("too wide for UCS2", text);
    // Too little or too much room: refused, and nothing written past it.
    if (!want.empty() && run_transcode<uint32_t>(text, want.size() - 1, &got, text)) fail("room too small", text);
    if (run_transcode<uint32_t>(text, want.size() + 1, &got, text)) fail("room too large", text);
}

// Valid characters at the edges of each length and kind, and the ways a
// text can be malformed.
const uint32_t kPoints[] = {0x00, 0x41, 0x7F, 0x80, 0xE9, 0xFF, 0x100, 0x7FF, 0x800, 0x20AC, 0xD7FF, 0xD800,
                            0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
const char* const kMalformed[] = {
    "\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xc2", "\xc3(", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xe2\x82",
    "\xe2(\xac", "\xed\xa0", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",
    "\xf0\x9f\x98", "\xf0\x9f(\x80", "\xf8\x88\x80\x80\x80", "\xfe", "\xff",
};

void run() {
    std::mt19937 rng(20261212);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<size_t> point(0, sizeof kPoints / sizeof *kPoints - 1);
    std::uniform_int_distribution<size_t> malformed(0, sizeof kMalformed / sizeof *kMalformed - 1);
    long checked = 0;
    for (int i = 0; i < 100000 && g_failures < 5; ++i) {
        const size_t length = size_t(percent(rng)) % 80;
        const bool broken = percent(rng) < 20;
        std::string text;
        while (text.size() < length) {
            const int r = percent(rng);
            if (r < 70) text += char('a' + r % 26);  // ASCII runs of all lengths
            else text += utf8_of(kPoints[point(rng)]);
        }
        if (broken) text.insert(size_t(percent(rng)) % (text.size() + 1), kMalformed[malformed(rng)]);
        check(text);
        ++checked;
    }
    // Each character and each malformed piece at every position of ASCII
    // runs of every length up to three blocks and a tail.
    for (size_t n = 0; n <= 50; ++n)
        for (size_t at = 0; at <= n; ++at) {
            for (uint32_t cp : kPoints) {
                std::string text(n, 'p');
                check(text.insert(at, utf8_of(cp)));
                ++checked;
            }
            for (const char* piece : kMalformed) {
                std::string text(n, 'p');
                check(text.insert(at, piece));
                ++checked;
            }
        }
    // Runs of non-ASCII characters only, where sequences follow each other
    // up to the text's end: each malformed piece at every position, so that
    // it meets both the word-at-a-time reads and the last three bytes.
    for (size_t n = 0; n <= 24; ++n)
        for (size_t at = 0; at <= n; ++at) {
            std::string text;
            for (size_t k = 0; k < n; ++k) text += utf8_of(kPoints[3 + (k * 7 + n) % (std::size(kPoints) - 3)]);
            check(text);
            const size_t cut = at * text.size() / (n + 1);
            for (const char* piece : kMalformed) {
                std::string broken = text;
                check(broken.insert(cut, piece));
                check(broken.substr(0, broken.size() - 1));  // and cut short
                checked += 2;
            }
        }
    // Long texts: the block counts are summed before a byte lane can wrap.
    for (size_t n : {4079u, 4080u, 4096u, 9000u}) {
        std::string text;
        while (text.size() < n) text += utf8_of(kPoints[point(rng)]);
        check(text);
        check(std::string(n, 'q') + "\xc3\xa9");
        ++checked;
    }
    printf("utf8_text_test: %ld texts compared with the reference\n", checked);
}

}  // namespace

int main() {
    run();
    if (g_failures) {
        fprintf(stderr, "utf8_text_test: %d failures\n", g_failures);
        return 1;
    }
    printf("utf8_text_test: all cases passed\n");
    return 0;
}
