// UTF-8 scanning and conversion for str results, and padding by code points.

#include "utf8_text.hpp"

#include <algorithm>
#include <cstring>
#include <emmintrin.h>

namespace kestrix::scribe {

std::size_t count_code_points(std::string_view utf8) noexcept {
    std::size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

char32_t widest_char_bound(std::span<const std::string_view> texts) noexcept {
    // Most texts are ASCII: a byte-wise scan that stops at the first other
    // byte is the cheapest for symbols of a byte or two.
    std::size_t k = 0;
    auto ascii = [](std::string_view t) {
        for (char c : t)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    };
    while (k < texts.size() && ascii(texts[k])) ++k;
    if (k == texts.size()) return 0x7F;
    unsigned char top = 0;
    for (std::string_view t : texts.subspan(k))
        for (char c : t) top = std::max(top, static_cast<unsigned char>(c));
    // A lead byte tells its character's range (C2 and C3 lead U+0080 to U+00FF,
    // F0 and above the planes past the first); continuation bytes, 80 to BF,
    // lie below every lead byte of a non-ASCII character.
    return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

namespace {

// Writes the code points of valid UTF-8 [in, end) to `out`, one Unit each, and
// returns the end of what was written. `out` may be `in` itself when Unit is a
// byte and no code point is of more than two bytes: every one read is then
// written in at most the bytes it took, after it was read.
template <class Unit>
Unit* decode_utf8_units(const unsigned char* in, const unsigned char* end, Unit* out) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    while (in != end) {
        // Runs of ASCII: 16 bytes at a time where units are wider than a byte,
        // widened by interleaving with zeros; then a word at a time.
        if constexpr (sizeof(Unit) > 1) {
            const __m128i zero = _mm_setzero_si128();
            while (end - in >= 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
                if (_mm_movemask_epi8(v) != 0) break;
                __m128i halves[2] = {_mm_unpacklo_epi8(v, zero), _mm_unpackhi_epi8(v, zero)};
                auto* to = reinterpret_cast<__m128i*>(out);
                for (int h = 0; h < 2; ++h) {
                    if constexpr (sizeof(Unit) == 2) {
                        _mm_storeu_si128(to + h, halves[h]);
                    } else {
                        _mm_storeu_si128(to + 2 * h, _mm_unpacklo_epi16(halves[h], zero));
                        _mm_storeu_si128(to + 2 * h + 1, _mm_unpackhi_epi16(halves[h], zero));
                    }
                }
                in += 16;
                out += 16;
            }
        }
        std::uint64_t w;
        while (end - in >= 8 && (std::memcpy(&w, in, 8), (w & kHighBits) == 0)) {
            if constexpr (sizeof(Unit) == 1) {
                std::memcpy(out, &w, 8);
            } else {
                for (int k = 0; k < 8; ++k) out[k] = Unit(in[k]);
            }
            in += 8;
            out += 8;
        }
        if (in == end) break;
        unsigned char lead = *in;
        if (lead < 0x80) {
            *out++ = Unit(lead);
            ++in;
            continue;
        }
        unsigned len = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = lead & (0x7F >> len);
        for (unsigned k = 1; k < len; ++k) c = (c << 6) | (in[k] & 0x3F);
        *out++ = Unit(c);
        in += len;
    }
    return out;
}

const unsigned char* bytes(const char* p) noexcept { return reinterpret_cast<const unsigned char*>(p); }

}  // namespace

std::size_t narrow_utf8_in_place(char* text, std::size_t size) noexcept {
    auto out = reinterpret_cast<unsigned char*>(text);
    return static_cast<std::size_t>(decode_utf8_units(bytes(text), bytes(text) + size, out) - out);
}

void widen_utf8(std::string_view utf8, std::uint16_t* out) noexcept {
    decode_utf8_units(bytes(utf8.data()), bytes(utf8.data()) + utf8.size(), out);
}

void widen_utf8(std::string_view utf8, std::uint32_t* out) noexcept {
    decode_utf8_units(bytes(utf8.data()), bytes(utf8.data()) + utf8.size(), out);
}

void append_padded_text(TextBuffer& out, std::string_view text, unsigned width, Align align) {
    if (align == Align::Left && width == 2 && text.size() == 1 &&
        static_cast<unsigned char>(text[0]) < 0x80) {
        // The usual one-letter symbol.
        char* p = out.prepare(2);
        p[0] = text[0];
        p[1] = ' ';
        out.commit(2);
        return;
    }
    std::size_t chars = count_code_points(text);
    std::size_t pad = chars < width ? width - chars : 0;
    char* p = out.prepare(pad + text.size());
    if (align == Align::Right) {
        std::memset(p, ' ', pad);
        std::memcpy(p + pad, text.data(), text.size());
    } else {
        std::memcpy(p, text.data(), text.size());
        std::memset(p + text.size(), ' ', pad);
    }
    out.commit(pad + text.size());
}

}  // namespace kestrix::scribe
