#pragma once

#include <string>
#include <string_view>

// The Base64 of "user:password", as Basic authentication sends it to a proxy.
std::string BasicCredentials(std::string_view user, std::string_view password);
