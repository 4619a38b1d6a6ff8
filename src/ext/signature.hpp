// The parameters of an entry point, written once. Argument matching reads them, error messages
// name the call from them, and the docstring in the method table (the text signature from which
// the interpreter reads __text_signature__) is built from them at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace marlune::py {

struct Signature {
    const char* name;                                // "midi_to_hz", "freq", "__new__"
    const char* class_name = nullptr;                // "ResonatorBank" for methods and __new__
    std::span<const char* const> positional = {};    // every one required
    std::span<const char* const> keyword_only = {};  // every one optional, default None

    // How error messages name the call: "midi_to_hz()", "ResonatorBank.freq()".
    std::string call_name() const {
        std::string text = class_name != nullptr ? std::string(class_name) + "." : std::string();
        return text + name + "()";
    }
};

namespace detail {

// Hands the text signature of `s` to `put` piece by piece: the name (the class's for __new__),
// the parameters in parentheses ("$self" first for methods, "*" before the keyword-only ones,
// which default to None), then a line "--" and an empty line.
template <class Put>
constexpr void write_text_signature(const Signature& s, Put put) {
    const bool constructor = s.class_name != nullptr && std::string_view(s.name) == "__new__";
    put(constructor ? s.class_name : s.name);
    put("(");
    std::string_view separator;
    auto parameter = [&](std::string_view text, std::string_view suffix) {
        put(separator);
        put(text);
        put(suffix);
        separator = ", ";
    };
    if (s.class_name != nullptr && !constructor) parameter("$self", "");
    for (const char* name : s.positional) parameter(name, "");
    if (!s.keyword_only.empty()) parameter("*", "");
    for (const char* name : s.keyword_only) parameter(name, "=None");
    put(")\n--\n\n");
}

constexpr std::size_t text_signature_length(const Signature& s) {
    std::size_t length = 0;
    write_text_signature(s, [&length](std::string_view piece) { length += piece.size(); });
    return length;
}

template <const Signature& S>
constexpr auto make_text_signature() {
    std::array<char, text_signature_length(S) + 1> text{};  // the last one stays NUL
    std::size_t at = 0;
    write_text_signature(S, [&](std::string_view piece) {
        for (const char c : piece) text[at++] = c;
    });
    return text;
}

template <const Signature& S>
inline constexpr auto text_signature_storage = make_text_signature<S>();

}  // namespace detail

// The docstring of the entry point described by S, e.g. "freq($self, i)\n--\n\n".
template <const Signature& S>
inline constexpr const char* text_signature = detail::text_signature_storage<S>.data();

}  // namespace marlune::py
