// The viewer's access checks: token in the query, Host and Origin.
#include <gtest/gtest.h>

#include "view/access.h"

using namespace kavri::view;

TEST(ViewAccess, TokenMustMatchExactly) {
    const std::string t = make_token();
    ASSERT_EQ(t.size(), 32u);
    EXPECT_NE(t, make_token());
    EXPECT_TRUE(token_ok("/?t=" + t, t));
    EXPECT_TRUE(token_ok("/app.js?x=1&t=" + t, t));
    EXPECT_FALSE(token_ok("/", t));
    EXPECT_FALSE(token_ok("/?t=", t));
    EXPECT_FALSE(token_ok("/?t=" + t.substr(0, 31), t));
    EXPECT_FALSE(token_ok("/?t=" + t + "0", t));
    EXPECT_FALSE(token_ok("/?tt=" + t, t));
    EXPECT_FALSE(token_ok("/?t=" + t, ""));
}

TEST(ViewAccess, PathLeavesTheQueryOut) {
    EXPECT_EQ(target_path("/ws?t=1"), "/ws");
    EXPECT_EQ(query_value("/d?range=1:2&t=9", "range"), "1:2");
}

TEST(ViewAccess, LoopbackServerKnowsOnlyLoopbackNames) {
    EXPECT_TRUE(host_ok("127.0.0.1:8321", true));
    EXPECT_TRUE(host_ok("localhost:8321", true));
    EXPECT_TRUE(host_ok("[::1]:8321", true));
    EXPECT_FALSE(host_ok("evil.example:8321", true));
    EXPECT_FALSE(host_ok("localhost.evil.example:8321", true));
    EXPECT_FALSE(host_ok("", true));
    EXPECT_TRUE(host_ok("board.lan:8321", false));
}

TEST(ViewAccess, OriginMustBeThePagesOwn) {
    EXPECT_TRUE(origin_ok("http://127.0.0.1:8321", "127.0.0.1:8321"));
    EXPECT_TRUE(origin_ok("", "127.0.0.1:8321"));  // not a browser: the token decides
    EXPECT_FALSE(origin_ok("http://evil.example", "127.0.0.1:8321"));
    EXPECT_FALSE(origin_ok("http://127.0.0.1:9999", "127.0.0.1:8321"));
    EXPECT_FALSE(origin_ok("https://127.0.0.1:8321", "127.0.0.1:8321"));
    EXPECT_FALSE(origin_ok("http://127.0.0.1:8321.evil.example", "127.0.0.1:8321"));
}

TEST(ViewAccess, EveryRequestChecksHostTokenAndOrigin) {
    const std::string t = make_token();
    const std::string target = "/app.js?t=" + t;
    constexpr std::string_view kHost = "127.0.0.1:8321";
    EXPECT_EQ(request_refusal(target, kHost, "", t, true), nullptr);
    EXPECT_EQ(request_refusal(target, kHost, "http://127.0.0.1:8321", t, true), nullptr);
    EXPECT_NE(request_refusal(target, kHost, "http://evil.example", t, true), nullptr);
    EXPECT_NE(request_refusal(target, kHost, "null", t, true), nullptr);
    EXPECT_NE(request_refusal("/app.js", kHost, "", t, true), nullptr);
    EXPECT_NE(request_refusal(target, "evil.example:8321", "", t, true), nullptr);
}
