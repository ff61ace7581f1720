// Shared by the native tests: the UTF-8 form of a code point written out
// plainly, as the reference the encoder's escapers and transcoder are
// checked against, and the printable form of a failing input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Lone surrogates in their three-byte form, as "surrogatepass" has them.
inline std::string utf8_of(uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
    return out;
}

// Printable ASCII as it is, every other byte (and the backslash) as \xNN.
inline std::string show(const std::string& s) {
    std::string out;
    char hex[8];
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
