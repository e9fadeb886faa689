#include "view/access.h"

#include <array>
#include <cstdint>
#include <random>

namespace kavri::view {
namespace {

constexpr size_t kTokenWords = 4;  // 4 x 32 bits
constexpr std::string_view kLoopbackHosts[] = {"localhost", "127.0.0.1", "[::1]"};

// The host name of a Host header without its port: "a:80" -> "a", "[::1]:80" -> "[::1]".
std::string_view host_name(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        return close == std::string_view::npos ? host : host.substr(0, close + 1);
    }
    const size_t colon = host.rfind(':');
    return colon == std::string_view::npos ? host : host.substr(0, colon);
}

}  // namespace

std::string make_token() {
    std::random_device rd;  // the kernel's random source on Linux
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < kTokenWords; ++i) {
        const uint32_t w = rd();
        for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(w >> shift) & 0xf];
    }
    return out;
}

std::string_view target_path(std::string_view target) {
    const size_t q = target.find('?');
    return q == std::string_view::npos ? target : target.substr(0, q);
}

std::string_view query_value(std::string_view target, std::string_view name) {
    const size_t q = target.find('?');
    if (q == std::string_view::npos) return {};
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        const size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    return {};
}

bool token_ok(std::string_view target, std::string_view token) {
    const std::string_view given = query_value(target, kTokenParam);
    if (token.empty() || given.size() != token.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned>(given[i] ^ token[i]);
    return diff == 0;
}

bool host_ok(std::string_view host, bool loopback_only) {
    if (host.empty()) return false;
    if (!loopback_only) return true;
    const std::string_view name = host_name(host);
    for (std::string_view h : kLoopbackHosts)
        if (name == h) return true;
    return false;
}

bool origin_ok(std::string_view origin, std::string_view host) {
    if (origin.empty()) return true;
    constexpr std::string_view kScheme = "http://";
    return origin.size() == kScheme.size() + host.size() &&
           origin.substr(0, kScheme.size()) == kScheme && origin.substr(kScheme.size()) == host;
}

const char *request_refusal(std::string_view target, std::string_view host, std::string_view origin,
                            std::string_view token, bool loopback_only) {
    if (!host_ok(host, loopback_only)) return "unknown host name";
    if (!token_ok(target, token)) return "the address needs the token that kavri-cli view printed";
    if (!origin_ok(origin, host)) return "the page is not this server's";
    return nullptr;
}

bool is_loopback_address(std::string_view addr) {
    return addr == "127.0.0.1" || addr == "::1" || addr == "localhost" ||
           addr.substr(0, 4) == "127.";
}

}  // namespace kavri::view
