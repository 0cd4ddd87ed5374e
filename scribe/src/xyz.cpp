// Parsing and formatting of XYZ atom lines, and the symbol forms they carry:
// Unicode case mapping of a field, each distinct field normalised once.

#include "xyz.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "field_scanner.hpp"
#include "fixed_format.hpp"
#include "utf8_text.hpp"

namespace kestrix::scribe {
namespace {

// ---------------------------------------------------------------- case data

struct CaseMapping {
    char32_t from;
    char32_t to;  // one code point, or kSequenceTag + offset * 4 + length
};
struct CodeRange {
    char32_t first;
    char32_t last;
};
#include "case_tables.inc"

template <std::size_t N>
const CaseMapping* find_mapping(const CaseMapping (&table)[N], char32_t c) noexcept {
    auto it = std::lower_bound(std::begin(table), std::end(table), c,
                               [](const CaseMapping& m, char32_t v) { return m.from < v; });
    return it != std::end(table) && it->from == c ? it : nullptr;
}

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t c) noexcept {
    auto it = std::upper_bound(std::begin(table), std::end(table), c,
                               [](char32_t v, const CodeRange& r) { return v < r.first; });
    return it != std::begin(table) && c <= (it - 1)->last;
}

bool is_cased(char32_t c) noexcept { return in_ranges(kCased, c); }
bool is_case_ignorable(char32_t c) noexcept { return in_ranges(kCaseIgnorable, c); }

// Appends the full mapping of `c` in `table`, or `c` itself when it has none.
template <std::size_t N>
void append_mapped(const CaseMapping (&table)[N], char32_t c, std::u32string& out) {
    const CaseMapping* m = find_mapping(table, c);
    if (!m) {
        out.push_back(c);
    } else if (m->to < kSequenceTag) {
        out.push_back(m->to);
    } else {
        char32_t code = m->to - kSequenceTag;
        out.append(kCaseSequences + code / 4, code % 4);
    }
}

// ---------------------------------------------------------------- UTF-8

std::u32string decode_utf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    std::size_t k = 0;
    while (k < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[k]);
        std::size_t len = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (k + len > s.size()) len = 1;  // not reached with text from a Python str
        char32_t c = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t j = 1; j < len; ++j) c = (c << 6) | (static_cast<unsigned char>(s[k + j]) & 0x3F);
        out.push_back(c);
        k += len;
    }
    return out;
}

void encode_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// Final sigma: the nearest character before that is not case-ignorable is
// cased, and the nearest one after that is not case-ignorable is not cased
// (or there is none). Only the field itself is the context.
bool is_final_sigma(const std::u32string& s, std::size_t at) noexcept {
    std::size_t k = at;
    while (k > 0 && is_case_ignorable(s[k - 1])) --k;
    if (k == 0 || !is_cased(s[k - 1])) return false;
    k = at + 1;
    while (k < s.size() && is_case_ignorable(s[k])) ++k;
    return k == s.size() || !is_cased(s[k]);
}

// ---------------------------------------------------------------- symbols

// Hands out one distinct-symbol index per distinct raw field, normalising each
// raw field once. A field's first eight bytes, as one word, decide most
// comparisons and the hash. The bytes past them are copied for each distinct
// field: the lines of a chunk need not outlive it (see LineSource).
class SymbolInterner {
public:
    explicit SymbolInterner(SymbolTable& table) : table_(table), slots_(64) {}

    /// The index of `raw`, a field that ends no later than `line_end`.
    std::size_t intern(std::string_view raw, const char* line_end) {
        std::uint64_t word = 0;
        if (line_end - raw.data() >= 8) [[likely]] {
            std::memcpy(&word, raw.data(), 8);
            if (raw.size() < 8) word &= ~std::uint64_t{0} >> (64 - 8 * raw.size());  // raw is never empty
        } else {
            std::memcpy(&word, raw.data(), raw.size());
        }
        std::size_t mask = slots_.size() - 1;
        std::size_t k = hash(word, raw) & mask;
        for (;; k = (k + 1) & mask) {
            const Slot& slot = slots_[k];
            if (slot.word == word && slot.size == raw.size() &&
                (raw.size() <= 8 || tail(slot) == raw.substr(8))) [[likely]]
                return slot.id;
            if (slot.size == 0) break;
        }
        std::size_t id = table_.ends.size();
        normalize_symbol(raw, table_.text);
        table_.ends.push_back(table_.text.size());
        slots_[k] = Slot{word, raw.size(), tails_.size(), id};
        if (raw.size() > 8) tails_.append(raw.substr(8));
        if (++used_ * 2 > slots_.size()) rehash();
        return id;
    }

private:
    struct Slot {
        std::uint64_t word = 0;
        std::size_t size = 0;         // 0: empty slot (a field is never empty)
        std::size_t tail_offset = 0;  // of the bytes past the first eight, in tails_
        std::size_t id = 0;
    };

    // The bytes of a long field past its first eight.
    std::string_view tail(const Slot& slot) const noexcept {
        return std::string_view(tails_.data() + slot.tail_offset, slot.size - 8);
    }
    static std::size_t hash(std::uint64_t word, std::string_view s) noexcept {
        std::uint64_t h = (word ^ s.size()) * 0x9E3779B97F4A7C15ull;
        for (std::size_t k = 8; k < s.size(); ++k)  // FNV-1a over the rest
            h = (h ^ static_cast<unsigned char>(s[k])) * 0x100000001b3ull;
        return std::size_t(h ^ (h >> 29));
    }
    // The hash of a slot's field, put together again from its word and tail.
    std::size_t hash(const Slot& slot) const {
        std::string field(reinterpret_cast<const char*>(&slot.word), 8);
        if (slot.size > 8) field += tail(slot);
        return hash(slot.word, std::string_view(field).substr(0, slot.size));
    }
    void rehash() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.size == 0) continue;
            std::size_t k = hash(s) & mask;
            while (slots_[k].size != 0) k = (k + 1) & mask;
            slots_[k] = s;
        }
    }

    SymbolTable& table_;
    std::vector<Slot> slots_;
    std::string tails_;
    std::size_t used_ = 0;
};

}  // namespace

void normalize_symbol(std::string_view field, std::string& out) {
    bool ascii = std::all_of(field.begin(), field.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        std::size_t start = out.size();
        for (char c : field) out.push_back(c >= 'A' && c <= 'Z' ? char(c + 32) : c);
        char& first = out[start];
        if (first >= 'a' && first <= 'z') first = char(first - 32);
        return;
    }
    std::u32string chars = decode_utf8(field);
    std::u32string lower;
    lower.reserve(chars.size() + 2);
    for (std::size_t k = 0; k < chars.size(); ++k) {
        if (chars[k] == kCapitalSigma) {
            lower.push_back(is_final_sigma(chars, k) ? kFinalSigma : kSmallSigma);
        } else {
            append_mapped(kLowerMap, chars[k], lower);
        }
    }
    std::u32string first;
    append_mapped(kUpperMap, lower[0], first);
    for (char32_t c : first) encode_utf8(c, out);
    for (std::size_t k = 1; k < lower.size(); ++k) encode_utf8(lower[k], out);
}

std::variant<XyzBlock, ParseError> parse_xyz_block(LineSource& source) {
    std::size_t n = source.size();
    XyzBlock block;
    block.positions = OwnedBuffer<double>::uninitialised(n * 3);
    // More lines than 32-bit indices count cannot fit in memory as Python strs.
    if (n > UINT32_MAX) throw std::bad_alloc();
    block.symbols.ids = OwnedBuffer<std::uint32_t>::uninitialised(n);
    SymbolInterner interner(block.symbols);
    double* out = block.positions.data();
    std::uint32_t* ids = block.symbols.ids.data();
    ParseError error{};
    bool ok = each_line(source, [&](std::size_t i, std::string_view line) {
        FieldScanner scanner(line);
        std::string_view field;
        if (!scanner.next(field)) {
            error = ParseError{ParseFailure::EmptyLine, i};
            return false;
        }
        ids[i] = static_cast<std::uint32_t>(interner.intern(field, line.data() + line.size()));
        return read_three_numbers(scanner, i, line, out + 3 * i, error);
    });
    if (!ok) return error;
    return block;
}

void format_xyz_block(TextBuffer& out, std::span<const std::string_view> symbols,
                      Strided2D<double> positions, Poll poll) {
    std::size_t n = symbols.size();
    if (n == 0) return;
    if (positions.cols < 3) panic(kIndexOutOfBounds);
    out.reserve_rows(n, 75, kWriteSlack);
    each_row(std::ptrdiff_t(n), poll, [&](std::ptrdiff_t r) {
        append_padded_text(out, symbols[std::size_t(r)], 2, Align::Left);
        for (int k = 0; k < 3; ++k) {
            out.push_back(' ');
            format_fixed(out, positions(r, k), 15, 22);
        }
        out.push_back('\n');
    });
}

}  // namespace kestrix::scribe
