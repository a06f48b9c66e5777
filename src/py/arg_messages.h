// Wording of the argument-binding TypeErrors. Kept free of Python.h so that
// every format, including cases no current entry can reach (three missing
// names), is unit-tested directly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessaroll::messages {

// "Cube3x3.do_moves()", "CubeBatch.__new__()" or "inverse_scramble()".
inline std::string full_name(const char* owner, std::string_view name) {
    std::string s;
    if (owner) {
        s += owner;
        s += '.';
    }
    s += name;
    s += "()";
    return s;
}

inline std::string too_many_positional(const std::string& entry, std::size_t required,
                                       std::size_t total, std::size_t given) {
    std::string msg = entry + " takes ";
    if (required == total) {
        msg += std::to_string(total);
    } else {
        msg += "from " + std::to_string(required) + " to " + std::to_string(total);
    }
    return msg + " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was" : " were") + " given";
}

inline std::string unexpected_keyword(const std::string& entry, std::string_view keyword) {
    return entry + " got an unexpected keyword argument '" + std::string(keyword) + "'";
}

inline std::string multiple_values(const std::string& entry, std::string_view name) {
    return entry + " got multiple values for argument '" + std::string(name) + "'";
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
inline std::string missing_required(const std::string& entry,
                                    const std::vector<std::string_view>& names) {
    const std::size_t n = names.size();
    std::string list;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) list += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return entry + " missing " + std::to_string(n) + " required positional " +
           (n == 1 ? "argument" : "arguments") + ": " + list;
}

} // namespace tessaroll::messages
