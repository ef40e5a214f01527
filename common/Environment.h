#pragma once

// The one reader of the process environment.

#include <initializer_list>
#include <string>

namespace env {

// The value of the first of the variables that is set and not empty; empty when none is.
std::string Value(std::initializer_list<const char*> names);
inline std::string Value(const char* name) {
    return Value({name});
}

}  // namespace env
