// The HTTP layer against a local server started by the test: what goes over the wire, what
// comes back, and every way an exchange can go wrong ending in a clear error in bounded time.
#include "platform/http_client.h"
#include "support/local_http_server.h"
#include "support/scoped_env.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using kytest::LocalHttpServer;
using Reply = LocalHttpServer::Reply;
using Clock = std::chrono::steady_clock;

namespace {

class HttpClientTest : public ::testing::Test {
protected:
    kytest::NoProxyEnvironment noProxy;
};

kyHttpRequest shortRequest(const std::string& url) {
    kyHttpRequest r;
    r.url = url;
    r.timeouts.connectMs = 2000;
    r.timeouts.lowSpeedMs = 1000;
    r.timeouts.totalMs = 5000;
    return r;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

TEST_F(HttpClientTest, PostSendsHeadersAndBodyAndReadsTheAnswer) {
    LocalHttpServer server([](const LocalHttpServer::Request&) {
        return Reply{
            "HTTP/1.0 201 Created\r\nX-Answer: forty two\r\nContent-Type: text/plain\r\n\r\n"
            "line one\r\nline two\r\n"};
    });
    kyHttpRequest r = shortRequest(server.url() + "/~cddb/cddb.cgi?x=1");
    r.method = "POST";
    r.http10 = true;
    r.userAgent = "DskR v5.0";
    r.headers = {"Content-Type: text/plain", "Accept:", "Category: rock"};
    r.body = "cmd=cddb+query\r\n";
    const kyHttpResponse a = kyHttpPerform(r);
    ASSERT_TRUE(a.ok()) << a.message;
    EXPECT_EQ(a.status, 201);
    EXPECT_EQ(a.body, "line one\r\nline two\r\n");
    EXPECT_EQ(a.header("x-answer"), "forty two");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& q = requests[0];
    EXPECT_EQ(q.requestLine, "POST /~cddb/cddb.cgi?x=1 HTTP/1.0");
    // Virtual-hosted servers need the Host header even from an HTTP/1.0 client.
    EXPECT_EQ(q.header("Host"), server.hostPort());
    EXPECT_EQ(q.header("User-Agent"), "DskR v5.0");
    EXPECT_EQ(q.header("Content-Type"), "text/plain");
    EXPECT_EQ(q.header("Category"), "rock");
    EXPECT_EQ(q.header("Content-Length"), "16");
    EXPECT_FALSE(q.hasHeader("Accept"));
    EXPECT_FALSE(q.hasHeader("Expect"));
    EXPECT_EQ(q.body, "cmd=cddb+query\r\n");
}

TEST_F(HttpClientTest, GetFollowsRedirectsOnlyWhenAllowed) {
    std::unique_ptr<LocalHttpServer> server;
    server = std::make_unique<LocalHttpServer>([&](const LocalHttpServer::Request& q) {
        if (q.target == "/old")
            return Reply{"HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n"};
        return Reply{LocalHttpServer::answer("moved here", 200, true)};
    });
    kyHttpRequest r = shortRequest(server->url() + "/old");
    kyHttpResponse a = kyHttpPerform(r);
    ASSERT_TRUE(a.ok()) << a.message;
    EXPECT_EQ(a.status, 302);
    EXPECT_EQ(a.header("Location"), "/new");

    r.maxRedirects = 3;
    a = kyHttpPerform(r);
    ASSERT_TRUE(a.ok()) << a.message;
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "moved here");
    EXPECT_EQ(server->requests().back().method, "GET");
}

TEST_F(HttpClientTest, BareAnswersWithoutStatusLineOnlyWhenAllowed) {
    LocalHttpServer server(
        [](const LocalHttpServer::Request&) { return Reply{"200 rock 06019002 A / B\r\n"}; });
    kyHttpRequest r = shortRequest(server.url() + "/");
    EXPECT_FALSE(kyHttpPerform(r).ok());
    r.allowHttp09 = true;
    const kyHttpResponse a = kyHttpPerform(r);
    ASSERT_TRUE(a.ok()) << a.message;
    EXPECT_EQ(a.body, "200 rock 06019002 A / B\r\n");
}

// Every way the exchange can fail, each ending in its error within the limits set.
TEST_F(HttpClientTest, FailuresEndInClearErrorsWithinTheirLimits) {
    const std::string big(5000, 'x');
    const std::string whole = LocalHttpServer::answer("210 ok\r\nTTITLE0=x\r\n.\r\n", 200, true);
    struct Case {
        const char* name;
        Reply reply;
        size_t limit;
        kyHttpError error;
        const char* words; // part of the message
    } cases[] = {
        {"accepts and never answers", Reply{"", SIZE_MAX, true}, 1 << 20, kyHttpError::TimedOut,
         "no complete answer"},
        {"stalls halfway", Reply{"HTTP/1.0 200 OK\r\n\r\n210 partial\r\n", SIZE_MAX, true}, 1 << 20,
         kyHttpError::TimedOut, "sent nothing for 1 s"},
        {"closes mid-answer", Reply{whole, whole.size() - 5}, 1 << 20, kyHttpError::Incomplete,
         "broke off"},
        {"closes without answering", Reply{""}, 1 << 20, kyHttpError::Incomplete,
         "without answering"},
        {"answer too large", Reply{LocalHttpServer::answer(big)}, 4096, kyHttpError::TooLarge,
         "larger than 4096 bytes"},
        {"announced too large", Reply{LocalHttpServer::answer(big, 200, true)}, 4096,
         kyHttpError::TooLarge, "larger than 4096 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalHttpServer server([&](const LocalHttpServer::Request&) { return c.reply; });
        kyHttpRequest r = shortRequest(server.url() + "/x");
        r.method = "POST";
        r.body = "q";
        r.maxAnswerBytes = c.limit;
        r.timeouts.totalMs = c.error == kyHttpError::TimedOut && c.words[0] == 'n' ? 600 : 8000;
        const auto start = Clock::now();
        const kyHttpResponse a = kyHttpPerform(r);
        EXPECT_EQ(a.error, c.error) << a.message;
        EXPECT_NE(a.message.find(c.words), std::string::npos) << a.message;
        EXPECT_NE(a.message.find("127.0.0.1"), std::string::npos) << a.message;
        EXPECT_LT(secondsSince(start), 4.0);
    }
}

TEST_F(HttpClientTest, RefusedUnreachableAndMalformedAddresses) {
    // A port nobody listens on: take one from the system and close it again.
    uint16_t port = 0;
    close(kytest::loopbackSocket(-1, port));
    const std::string closed = "http://127.0.0.1:" + std::to_string(port) + "/";

    kyHttpResponse a = kyHttpPerform(shortRequest(closed));
    EXPECT_EQ(a.error, kyHttpError::Connect) << a.message;
    EXPECT_NE(a.message.find("cannot connect to 127.0.0.1"), std::string::npos) << a.message;

    a = kyHttpPerform(shortRequest("http://no-such-host.invalid/"));
    EXPECT_TRUE(a.error == kyHttpError::Resolve || a.error == kyHttpError::TimedOut) << a.message;

    for (const char* url : {"ftp://127.0.0.1/", "file:///etc/passwd", "127.0.0.1/x", ""}) {
        a = kyHttpPerform(shortRequest(url));
        EXPECT_EQ(a.error, kyHttpError::BadRequest) << url;
    }
    kyHttpRequest r = shortRequest(closed);
    r.headers = {"X-Evil: a\r\nInjected: b"};
    EXPECT_EQ(kyHttpPerform(r).error, kyHttpError::BadRequest);
}

TEST_F(HttpClientTest, ConnectTimeOutEndsAHangingConnection) {
    // A listening socket whose one-place queue is taken: further connections hang unanswered.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    kyHttpRequest r =
        shortRequest("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
    r.timeouts.connectMs = 300;
    const auto start = Clock::now();
    const kyHttpResponse a = kyHttpPerform(r);
    EXPECT_LT(secondsSince(start), 3.0);
    close(filler);
    close(fd);
    EXPECT_EQ(a.error, kyHttpError::TimedOut) << a.message;
    EXPECT_NE(a.message.find("no connection to 127.0.0.1"), std::string::npos) << a.message;
    EXPECT_NE(a.message.find("300 ms"), std::string::npos) << a.message;
}

TEST_F(HttpClientTest, CancellingStopsAWaitingRequestPromptly) {
    LocalHttpServer server([](const LocalHttpServer::Request&) {
        return Reply{"", SIZE_MAX, true};
    });
    kyHttpRequest r = shortRequest(server.url() + "/");
    r.timeouts = kyHttpTimeouts{};
    std::atomic<int> ticks{0};
    const auto start = Clock::now();
    r.keepGoing = [&] {
        ++ticks;
        return secondsSince(start) < 0.3;
    };
    const kyHttpResponse a = kyHttpPerform(r);
    EXPECT_EQ(a.error, kyHttpError::Cancelled);
    EXPECT_LT(secondsSince(start), 2.0);
    // The caller was asked often enough to keep a window alive.
    EXPECT_GE(ticks.load(), 3);
}

TEST_F(HttpClientTest, ProxySeesTheAbsoluteAddressAndTheServerHost) {
    LocalHttpServer proxy(
        [](const LocalHttpServer::Request&) { return Reply{LocalHttpServer::answer("202 none")}; });
    kyHttpRequest r = shortRequest("http://gnudb.example/~cddb/cddb.cgi");
    r.method = "POST";
    r.http10 = true;
    r.body = "cmd=x";
    r.proxy = kyHttpProxyUrl(proxy.hostPort());
    const kyHttpResponse a = kyHttpPerform(r);
    ASSERT_TRUE(a.ok()) << a.message;
    EXPECT_EQ(a.body, "202 none");
    const auto q = proxy.requests().at(0);
    EXPECT_EQ(q.requestLine, "POST http://gnudb.example/~cddb/cddb.cgi HTTP/1.0");
    EXPECT_EQ(q.header("Host"), "gnudb.example");
}

TEST(HttpHelpers, ProxySettingsAndPercentEncoding) {
    const std::pair<const char*, const char*> proxies[] = {
        {"", ""},
        {"  ", ""},
        {"proxy.example", "http://proxy.example:8080"},
        {"proxy.example:3128", "http://proxy.example:3128"},
        {"http://proxy.example:3128/", "http://proxy.example:3128"},
        {"http://proxy.example", "http://proxy.example:8080"},
        {"https://proxy.example:443", "https://proxy.example:443"},
        {"10.0.0.1", "http://10.0.0.1:8080"},
        {"[::1]", "http://[::1]:8080"},
        {"[::1]:3128", "http://[::1]:3128"},
    };
    for (const auto& [setting, url] : proxies) EXPECT_EQ(kyHttpProxyUrl(setting), url) << setting;

    EXPECT_EQ(kyPercentEncode("ann.lee-x_y~z09"), "ann.lee-x_y~z09");
    EXPECT_EQ(kyPercentEncode("a b+c&d=e%f@g"), "a%20b%2Bc%26d%3De%25f%40g");
    EXPECT_EQ(kyPercentEncode("\r\n\xC3\xA9"), "%0D%0A%C3%A9");
}
