// Test names for table-driven cases, made from their descriptions.
#pragma once

#include <cctype>
#include <string>

inline std::string case_name(std::string what)
{
    for (char& c : what)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return what;
}
