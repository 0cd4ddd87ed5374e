#pragma once
// The one declaration of a Python function: its name, its parameters with
// their defaults, and its docstring after the signature line. The binder's
// table, the values that omitted arguments take and the docstring, signature
// line first (what CPython reads __text_signature__ from), all come from it;
// the docstring is built at compile time.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix::binding {

inline constexpr std::size_t kMaxParams = 10;

/// The default None of an optional parameter (read with get_optional).
struct NoneDefault {};
inline constexpr NoneDefault kNoneDefault{};

/// One parameter: its name and, unless required, its default.
struct Param {
    enum class Default { kRequired, kNone, kBool, kInteger };

    consteval Param(const char* name_) : name(name_), length(text_length(name_)) {}
    consteval Param(const char* name_, bool value_)
        : name(name_), length(text_length(name_)), fallback(Default::kBool), value(value_) {}
    template <std::integral V>
        requires(!std::same_as<V, bool>)
    consteval Param(const char* name_, V value_)
        : name(name_), length(text_length(name_)), fallback(Default::kInteger),
          value(static_cast<std::uint64_t>(value_)) {
        if (value_ < 0) throw "a default integer is unsigned";
    }
    consteval Param(const char* name_, NoneDefault)
        : name(name_), length(text_length(name_)), fallback(Default::kNone) {}

    constexpr bool required() const noexcept { return fallback == Default::kRequired; }

    const char* name;
    std::size_t length;  // of the name, so that keywords are matched without strlen
    Default fallback = Default::kRequired;
    std::uint64_t value = 0;  // a bool or integer default

private:
    static consteval std::size_t text_length(const char* text) {
        return std::char_traits<char>::length(text);
    }
};

/// What the binder reads: the function's name and its parameters, of which
/// the leading `required` have no default.
struct ParamTable {
    const char* function_name;
    std::span<const Param> params;
    std::size_t required;
};

/// A Python function of N parameters.
template <std::size_t N>
struct Function {
    static_assert(N <= kMaxParams);

    const char* name;
    std::array<Param, N> params;
    const char* doc_body;  // the docstring after its signature line

    constexpr ParamTable table() const noexcept { return {name, params, required()}; }
    constexpr std::size_t required() const noexcept {
        std::size_t count = 0;
        while (count < N && params[count].required()) ++count;
        return count;
    }
    /// The index of the parameter called `param`; no such name does not compile.
    consteval std::size_t index_of(std::string_view param) const {
        for (std::size_t k = 0; k < N; ++k) {
            if (param == params[k].name) return k;
        }
        throw "no parameter of that name";
    }

    /// "name(a, b, c=False)\n--\n\n" then the body, through `out(char)`.
    template <class Out>
    constexpr void write_doc(Out& out) const {
        write(out, name);
        out('(');
        for (std::size_t k = 0; k < N; ++k) {
            if (k > 0) write(out, ", ");
            write(out, params[k].name);
            write_default(out, params[k]);
        }
        write(out, ")\n--\n\n");
        write(out, doc_body);
    }

private:
    template <class Out>
    static constexpr void write(Out& out, const char* text) {
        for (; *text; ++text) out(*text);
    }
    template <class Out>
    static constexpr void write_default(Out& out, const Param& param) {
        switch (param.fallback) {
        case Param::Default::kRequired: return;
        case Param::Default::kNone: write(out, "=None"); return;
        case Param::Default::kBool: write(out, param.value ? "=True" : "=False"); return;
        case Param::Default::kInteger: {
            out('=');
            char digits[20] = {};
            std::size_t count = 0;
            std::uint64_t rest = param.value;
            do {
                digits[count++] = static_cast<char>('0' + rest % 10);
                rest /= 10;
            } while (rest);
            while (count) out(digits[--count]);
            return;
        }
        }
    }
};

namespace detail {
template <std::size_t N, std::size_t... K>
consteval Function<N> make_function(const char* name, const Param (&params)[N],
                                    const char* doc_body, std::index_sequence<K...>) {
    return Function<N>{name, {params[K]...}, doc_body};
}
}  // namespace detail

/// Declares a function: `declare("f", {{"a"}, {"b", false}}, kDocBody)`. Every
/// parameter after the first with a default has one too.
template <std::size_t N>
consteval Function<N> declare(const char* name, const Param (&params)[N], const char* doc_body) {
    for (std::size_t k = 1; k < N; ++k) {
        if (!params[k - 1].required() && params[k].required())
            throw "a required parameter after one with a default";
    }
    return detail::make_function(name, params, doc_body, std::make_index_sequence<N>{});
}

/// The docstring of the function declared as F, NUL-terminated, made at compile time.
template <const auto& F>
struct Docstring {
private:
    struct Counter {
        std::size_t size = 0;
        constexpr void operator()(char) noexcept { ++size; }
    };
    template <std::size_t Size>
    struct Filler {
        std::array<char, Size> text{};
        std::size_t size = 0;
        constexpr void operator()(char c) noexcept { text[size++] = c; }
    };
    static consteval std::size_t length() {
        Counter counter;
        F.write_doc(counter);
        return counter.size;
    }
    static consteval std::array<char, length() + 1> build() {
        Filler<length() + 1> filler;
        F.write_doc(filler);
        return filler.text;  // the last byte stays NUL
    }

public:
    static constexpr std::array<char, length() + 1> kText = build();
};

}  // namespace kestrix::binding
