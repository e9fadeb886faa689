// Who may use the viewer: the access token that every request carries and
// the origin and host checks that keep other web pages out. Pure functions,
// so they can be tested without a server.
#pragma once

#include <string>
#include <string_view>

namespace kavri::view {

// The query parameter that carries the token: /?t=TOKEN.
inline constexpr std::string_view kTokenParam = "t";

// A fresh random token: 32 hex digits (128 bits from the system's random source).
std::string make_token();

// The value of query parameter name in a request target ("/x?a=1&t=..."),
// empty when it is not there. Values are taken as they are (no decoding:
// tokens are hex).
std::string_view query_value(std::string_view target, std::string_view name);

// The target without its query: "/app.js?t=1" -> "/app.js".
std::string_view target_path(std::string_view target);

// True when the target carries exactly this token (compared in constant
// time, so the time taken tells nothing about how much of it matched).
bool token_ok(std::string_view target, std::string_view token);

// True when the Host header names this server in a way a browser on this
// machine would: with a loopback-only server only localhost, 127.0.0.1 or
// [::1] (so a page of another site whose name was pointed at 127.0.0.1
// cannot reach it); with --bind any host.
bool host_ok(std::string_view host, bool loopback_only);

// True when a request's Origin is this server's own page: the page's origin
// is "http://" followed by the Host it was loaded from. A missing Origin (not
// a browser, or a browser's plain same-site request) is accepted: the token
// still applies.
bool origin_ok(std::string_view origin, std::string_view host);

// Why a request (a page file, a download or a WebSocket upgrade) must be
// answered 403, or nullptr when it may go ahead: a Host this server does not
// answer to, a missing or wrong token, or an Origin of another site. A
// foreign page that learnt the token must still not read the answers, so the
// Origin counts for plain requests as well as for the WebSocket.
const char *request_refusal(std::string_view target, std::string_view host, std::string_view origin,
                            std::string_view token, bool loopback_only);

// True when addr (as given to --bind) is a loopback address.
bool is_loopback_address(std::string_view addr);

}  // namespace kavri::view
