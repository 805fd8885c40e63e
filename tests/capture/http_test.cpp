#include "capture/http.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel_capture {
namespace {

HeadStatus Parse(const std::string &text, HttpRequestHead &head)
{
    // Its own allocation, so that a read past the end is seen by ASan.
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    return ParseHttpRequestHead(bytes.data(), bytes.size(), head);
}

const std::string kWget = "GET /download/CHANGES.bro-aux.txt HTTP/1.1\r\n"
                          "User-Agent: Wget/1.14 (darwin12.2.0)\r\n"
                          "Accept: */*\r\n"
                          "Host: bro.org\r\n"
                          "Connection: Keep-Alive\r\n"
                          "\r\n";

TEST(HttpTest, CompleteHeadGivesItsSizeAgentAndBody)
{
    HttpRequestHead head;
    ASSERT_EQ(Parse(kWget + "next request", head), HeadStatus::COMPLETE);
    EXPECT_EQ(head.head_size, kWget.size());
    EXPECT_EQ(head.user_agent, "Wget/1.14 (darwin12.2.0)");
    EXPECT_TRUE(head.body_known);
    EXPECT_EQ(head.body_size, 0u);

    const std::string post
        = "POST /api HTTP/1.1\nuser-AGENT:\t okhttp/3.10.0 \t\nContent-Length: 1234\n\nbody";
    ASSERT_EQ(Parse(post, head), HeadStatus::COMPLETE);
    EXPECT_EQ(head.head_size, post.size() - 4);
    EXPECT_EQ(head.user_agent, "okhttp/3.10.0");
    EXPECT_TRUE(head.body_known);
    EXPECT_EQ(head.body_size, 1234u);
}

// Any token is a method (WebDAV and others), but only on an HTTP/1.x line.
TEST(HttpTest, EveryMethodStartsARequest)
{
    for (const char *method : {"GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE",
             "PROPFIND", "MKCOL", "LOCK", "UNLOCK", "VERSION-CONTROL", "get", "M-SEARCH"}) {
        HttpRequestHead head;
        EXPECT_EQ(Parse(std::string(method) + " / HTTP/1.0\r\n\r\n", head), HeadStatus::COMPLETE) << method;
        EXPECT_EQ(head.user_agent, "");
    }
}

TEST(HttpTest, PrefixOfAMethodNeedsMoreAndAnythingElseIsNotHttp)
{
    struct Case {
        std::string text;
        HeadStatus status;
    };
    const Case cases[] = {
        {"", HeadStatus::NEED_MORE},
        {"G", HeadStatus::NEED_MORE},
        {"OPTIO", HeadStatus::NEED_MORE},
        {"DELETE", HeadStatus::NEED_MORE},
        {"P", HeadStatus::NEED_MORE}, // POST, PUT and PATCH
        {"GET / HTTP/1.1\r\nHost: a\r\n", HeadStatus::NEED_MORE},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r", HeadStatus::NEED_MORE},
        {"GET / HTTP/1.1", HeadStatus::NEED_MORE},
        {"GET /", HeadStatus::NEED_MORE},
        {"X", HeadStatus::NEED_MORE},
        {"PROPFIND /dav/ HTTP/1.", HeadStatus::NEED_MORE},
        {"OPTIONS rtsp://cam/live RTSP/1.0\r\nUser-Agent: VLC\r\n\r\n", HeadStatus::NOT_HTTP},
        {"INVITE sip:bob@example.com SIP/2.0\r\n", HeadStatus::NOT_HTTP},
        {"GET / HTTP/1.1 \r\n\r\n", HeadStatus::NOT_HTTP},
        {"GET  HTTP/1.1\r\n\r\n", HeadStatus::NOT_HTTP},
        {"GET /\x01 HTTP/1.1\r\n\r\n", HeadStatus::NOT_HTTP},
        {"SSH-2.0-OpenSSH_9.6\r\n", HeadStatus::NOT_HTTP},
        {"220 mail.example.com ESMTP\r\n", HeadStatus::NOT_HTTP},
        {std::string(33, 'A') + " / HTTP/1.1\r\n\r\n", HeadStatus::NOT_HTTP},
        {"GET\t/ HTTP/1.1\r\n\r\n", HeadStatus::NOT_HTTP},
        {"HTTP/1.1 200 OK\r\n\r\n", HeadStatus::NOT_HTTP},
        {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", HeadStatus::NOT_HTTP},
        {std::string("\x16\x03\x01\x02\x00", 5), HeadStatus::NOT_HTTP},
        {"(", HeadStatus::NOT_HTTP},
    };
    for (const Case &c : cases) {
        HttpRequestHead head;
        EXPECT_EQ(Parse(c.text, head), c.status) << c.text;
    }
    // A head not yet ended gives what its whole lines said, not a cut line.
    HttpRequestHead head;
    EXPECT_EQ(Parse("GET / HTTP/1.1\r\nUser-Agent: new\r\nX-Long: aaa", head), HeadStatus::NEED_MORE);
    EXPECT_TRUE(head.request_line);
    EXPECT_EQ(head.user_agent, "new");
    EXPECT_EQ(head.head_size, 0u);
    EXPECT_EQ(Parse("GET / HTTP/1.1\r\nUser-Agent: cut", head), HeadStatus::NEED_MORE);
    EXPECT_EQ(head.user_agent, "");
}

TEST(HttpTest, BodyLengthIsKnownOnlyWhenItIsClear)
{
    struct Case {
        const char *headers;
        bool known;
        uint64_t size;
    };
    const Case cases[] = {
        {"", true, 0},
        {"Content-Length: 0\r\n", true, 0},
        {"content-length:   42  \r\n", true, 42},
        {"Content-Length: 18446744073709551615\r\n", false, 0}, // too large to trust
        {"Content-Length: 9223372036854775807\r\n", true, 9223372036854775807ULL},
        {"Content-Length: 12x\r\n", false, 0},
        {"Content-Length: -1\r\n", false, 0},
        {"Content-Length:\r\n", false, 0},
        {"Content-Length: 1 2\r\n", false, 0},
        {"Content-Length: 5\r\nContent-Length: 5\r\n", true, 5},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", false, 0},
        {"Transfer-Encoding: chunked\r\n", false, 0},
        {"Transfer-Encoding: gzip, chunked\r\nContent-Length: 10\r\n", false, 0},
        {"Content-Length : 7\r\n", true, 7},
        {"X-Content-Length: 7\r\n", true, 0},
    };
    for (const Case &c : cases) {
        HttpRequestHead head;
        ASSERT_EQ(Parse(std::string("POST / HTTP/1.1\r\n") + c.headers + "\r\n", head), HeadStatus::COMPLETE)
            << c.headers;
        EXPECT_EQ(head.body_known, c.known) << c.headers;
        EXPECT_EQ(head.body_size, c.size) << c.headers;
    }
}

TEST(HttpTest, UserAgentIsTheFirstOneCleaned)
{
    struct Case {
        std::string headers;
        std::string agent;
    };
    const Case cases[] = {
        {"USER-AGENT: A\r\nUser-Agent: B\r\n", "A"},
        {"User-Agent:\r\n", ""},
        {"User-Agent: a\x01"
         "b\x7f\tc \xc3\xa9\r\n",
            "abc \xc3\xa9"},
        {"User-Agents: x\r\nUser-Agent : y\r\n", "y"},
        {"X-User-Agent: x\r\nAccept: */*\r\n", ""},
        {"User-Agent x\r\n", ""},
        {"Host: a\r\n  User-Agent: folded\r\n", ""},
    };
    for (const Case &c : cases) {
        HttpRequestHead head;
        ASSERT_EQ(Parse("GET / HTTP/1.1\r\n" + c.headers + "\r\n", head), HeadStatus::COMPLETE) << c.headers;
        EXPECT_EQ(head.user_agent, c.agent) << c.headers;
    }
}

TEST(HttpTest, EveryCutOfARequestNeedsMoreUntilTheEnd)
{
    const std::string text = "POST /x HTTP/1.1\r\nUser-Agent: curl/8\r\nContent-Length: 3\r\n\r\n";
    for (size_t size = 0; size < text.size(); ++size) {
        HttpRequestHead head;
        EXPECT_EQ(Parse(text.substr(0, size), head), HeadStatus::NEED_MORE) << size;
    }
    HttpRequestHead head;
    ASSERT_EQ(Parse(text, head), HeadStatus::COMPLETE);
    EXPECT_EQ(head.head_size, text.size());
    EXPECT_EQ(head.body_size, 3u);
    EXPECT_EQ(ParseHttpRequestHead(nullptr, 0, head), HeadStatus::NEED_MORE);
}

} // namespace
} // namespace ostrel_capture
