#pragma once

// The system proxy. On this desktop it is the http_proxy (or HTTP_PROXY) environment variable, with
// no_proxy (or NO_PROXY) naming the hosts that are fetched directly. https addresses go through
// https_proxy (or HTTPS_PROXY) alone, read the same way; without it they are fetched directly.

#include <cstdint>
#include <string>
#include <string_view>

// How one request reaches its address.
struct TProxyRoute {
    std::string Host;  // the proxy; empty: connect directly. An IPv6 address without brackets.
    std::int32_t Port = 0;
    // Percent-decoded. Credentials go to the proxy when either is set: ":secret@proxy" is an
    // empty user name with a password.
    std::string User;
    std::string Password;
    // Why the variable names no proxy that can be used (an unknown scheme, no host, a bad
    // port); empty when it names a usable one or none. Never holds the credentials.
    std::string Problem;

    bool HasCredentials() const { return !User.empty() || !Password.empty(); }
};

// The route to url under the proxy variable's text ("host:port", "http://user:pw@host:port/",
// "[::1]:3128") and a no_proxy list (host names, ".domain" or "domain" for the domain and its
// subdomains, IP addresses, each with an optional ":port"; "*" for every host). url may be
// empty: then no_proxy is not consulted. A missing port is 80.
// variableName names the variable in Problem.
TProxyRoute ProxyRouteFor(std::string_view proxyVariable, std::string_view noProxy,
                          std::string_view url, std::string_view variableName = "http_proxy");
// The route of url by its scheme: an https address under httpsProxyVariable, any other under
// httpProxyVariable.
TProxyRoute ProxyRouteByScheme(std::string_view httpProxyVariable,
                               std::string_view httpsProxyVariable, std::string_view noProxy,
                               std::string_view url);
// True for an address of the scheme https (ignoring case).
bool IsHttpsAddress(std::string_view url);
// The same from the environment (http_proxy whatever the scheme of url).
TProxyRoute SystemProxyRoute(std::string_view url);
// The route of an https address from the environment: https_proxy and no_proxy.
TProxyRoute SystemHttpsProxyRoute(std::string_view url);
// The text of https_proxy (else HTTPS_PROXY); empty when unset.
std::string SystemHttpsProxyVariable();
// The texts of http_proxy (else HTTP_PROXY) and no_proxy (else NO_PROXY); empty when unset.
std::string SystemProxyVariable();
std::string SystemNoProxyVariable();
// Why the system proxy cannot be used, for the first error line of a run; empty when it can be
// or none is set.
std::string SystemProxyProblem();
// What a 407 answer means for the user: the proxy wants credentials, or refused the ones sent;
// variableName is the variable that names the proxy.
std::string ProxyAuthenticationText(bool credentialsSent,
                                    std::string_view variableName = "http_proxy");

// True when http_proxy or HTTP_PROXY is set and not empty.
bool ProxyEnabled();
// The proxy list of the system, "http=host:port", or empty when no usable proxy is set.
std::string GetProxyList();
// Host and port that the system proxy list names for scheme; empty host and port 0 when none.
void GetProxyServer(std::string_view scheme, std::string& host, std::int32_t& port);

// The pure steps of the above.
// A proxy variable as a list "http=host:port" ("http=[::1]:3128" for an IPv6 address), read as
// ProxyRouteFor reads it; empty when it names no usable proxy.
std::string ProxyListFromVariable(std::string_view value);
// Host and port a proxy list names for scheme: "scheme=host:port" entries joined by ";", or one
// "host:port" for every scheme. A list of entries for other schemes only names no proxy. An
// IPv6 host in brackets comes back without them.
void ProxyServerFromList(std::string_view list, std::string_view scheme, std::string& host,
                         std::int32_t& port);
