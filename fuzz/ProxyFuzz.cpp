// Fuzz entry for the proxy variables (built and run by fuzz/run-fuzz.sh). The input is the text
// of http_proxy; when it holds NUL bytes, the text after the first is no_proxy and after the
// second the address to fetch.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/Proxy.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t first = input.find('\0');
    const std::string_view variable = input.substr(0, first);
    std::string_view noProxy;
    std::string_view url = "http://v.example.com/get_video";
    if (first != std::string_view::npos) {
        noProxy = input.substr(first + 1);
        if (const std::size_t second = noProxy.find('\0'); second != std::string_view::npos) {
            url = noProxy.substr(second + 1);
            noProxy = noProxy.substr(0, second);
        }
    }

    const TProxyRoute route = ProxyRouteFor(variable, noProxy, url);
    if (route.Host.empty()) {
        // Credentials only ever go to a proxy.
        Check(route.User.empty() && route.Password.empty() && route.Port == 0);
    } else {
        Check(route.Problem.empty());
        Check(route.Port >= 1 && route.Port <= 65535);
        Check(route.Host.find_first_of("[]/@ \t\r\n") == std::string::npos);
    }

    // Without no_proxy the route is the one the proxy list of the system names.
    const TProxyRoute plain = ProxyRouteFor(variable, {}, {});
    Check(route.Problem == plain.Problem);
    Check(route.Host.empty() || (route.Host == plain.Host && route.Port == plain.Port &&
                                 route.User == plain.User && route.Password == plain.Password));
    std::string host = "stale";
    std::int32_t port = -1;
    ProxyServerFromList(ProxyListFromVariable(variable), "http", host, port);
    Check(host == plain.Host && port == plain.Port);

    // "*" sends every address direct; an unusable variable stays reported.
    const TProxyRoute everything = ProxyRouteFor(variable, "*", "http://h/");
    Check(everything.Host.empty() && everything.Problem == plain.Problem);
    return 0;
}
