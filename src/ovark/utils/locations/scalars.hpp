// ovark.utils.locations - the patterns of PyYAML's default implicit resolvers,
// matched by hand (with `$` matching before one final line break, as `re`
// does). Inline: the resolver (resolver.cpp) and the event path (events.cpp)
// test every plain scalar against them.
#pragma once
#include "state.hpp"

#include <string_view>

namespace locations {

inline bool digit(char c) { return c >= '0' && c <= '9'; }
inline bool sign(char c) { return c == '-' || c == '+'; }

// (:[0-5]?[0-9])+ from s[i]; the index after it, or npos.
inline size_t sexagesimal(const char* s, size_t n, size_t i) {
    size_t groups = 0;
    while (i < n && s[i] == ':') {
        ++i;
        if (i + 1 < n && s[i] >= '0' && s[i] <= '5' && digit(s[i + 1]))
            i += 2;
        else if (i < n && digit(s[i]))
            ++i;
        else
            return std::string_view::npos;
        ++groups;
    }
    return groups ? i : std::string_view::npos;
}

// [eE][-+][0-9]+ up to the end, from s[i].
inline bool exponent_to_end(const char* s, size_t n, size_t i) {
    if (i == n) return true;
    if (s[i] != 'e' && s[i] != 'E') return false;
    if (++i == n || !sign(s[i])) return false;
    size_t start = ++i;
    while (i < n && digit(s[i])) ++i;
    return i > start && i == n;
}

inline size_t skip_digits_underscores(const char* s, size_t n, size_t i) {
    while (i < n && (digit(s[i]) || s[i] == '_')) ++i;
    return i;
}

inline bool float_full(const char* s, size_t n) {
    std::string_view w(s, n);
    if (w == ".nan" || w == ".NaN" || w == ".NAN") return true;
    size_t i = n && sign(s[0]) ? 1 : 0;
    std::string_view rest = w.substr(i);
    if (rest == ".inf" || rest == ".Inf" || rest == ".INF") return true;
    if (i < n && digit(s[i])) {
        size_t j = skip_digits_underscores(s, n, i + 1);
        if (j < n && s[j] == '.') {  // [-+]?[0-9][0-9_]*\.[0-9_]*(exp)?
            if (exponent_to_end(s, n, skip_digits_underscores(s, n, j + 1))) return true;
        } else if (j < n && s[j] == ':') {  // [-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*
            size_t k = sexagesimal(s, n, j);
            if (k != std::string_view::npos && k < n && s[k] == '.' && skip_digits_underscores(s, n, k + 1) == n)
                return true;
        }
    }
    // \.[0-9][0-9_]*(exp)?
    if (n >= 2 && s[0] == '.' && digit(s[1]) && exponent_to_end(s, n, skip_digits_underscores(s, n, 2))) return true;
    return false;
}

inline bool int_full(const char* s, size_t n) {
    size_t i = n && sign(s[0]) ? 1 : 0;
    if (i == n) return false;
    auto all = [&](size_t from, auto ok) {
        if (from >= n) return false;
        for (size_t k = from; k < n; ++k)
            if (!ok(s[k])) return false;
        return true;
    };
    if (s[i] == '0') {
        if (i + 1 == n) return true;  // 0
        if (s[i + 1] == 'b') return all(i + 2, [](char c) { return c == '0' || c == '1' || c == '_'; });
        if (s[i + 1] == 'x')
            return all(i + 2,
                       [](char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_'; });
        return all(i + 1, [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[i] < '1' || s[i] > '9') return false;
    size_t j = skip_digits_underscores(s, n, i + 1);
    if (j == n) return true;
    return sexagesimal(s, n, j) == n;
}

inline bool bool_full(const char* s, size_t n) {
    static constexpr std::string_view words[] = {"yes",   "Yes",   "YES",   "no", "No", "NO", "true", "True", "TRUE",
                                                 "false", "False", "FALSE", "on", "On", "ON", "off",  "Off",  "OFF"};
    std::string_view w(s, n);
    for (auto word : words)
        if (w == word) return true;
    return false;
}

inline bool null_full(const char* s, size_t n) {
    std::string_view w(s, n);
    return w == "~" || w == "null" || w == "Null" || w == "NULL" || w.empty();
}

// `full` matched as re.match(r'^(?:...)$') would: also before one final '\n'.
template <class F>
inline bool re_full(const char* s, size_t n, F full) {
    return full(s, n) || (n && s[n - 1] == '\n' && full(s, n - 1));
}

}  // namespace locations
