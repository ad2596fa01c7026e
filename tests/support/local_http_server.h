#pragma once
// A small HTTP server on 127.0.0.1 for tests that talk to a database: it reads each
// request whole, keeps it for the test to look at, and answers what the test's handler
// says — a well-formed answer, garbage, half an answer, or nothing at all.
#include "support/scoped_env.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kytest {

// The environment's proxy settings put aside while it lives: they would take a test's
// requests elsewhere.
class NoProxyEnvironment {
public:
    NoProxyEnvironment() {
        for (const char* v : kNames) ::unsetenv(v);
    }

private:
    static constexpr const char* kNames[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                             "HTTPS_PROXY", "all_proxy",  "ALL_PROXY",
                                             "no_proxy",    "NO_PROXY"};
    ScopedEnv m_saved{kNames[0], kNames[1], kNames[2], kNames[3],
                      kNames[4], kNames[5], kNames[6], kNames[7]};
};

// A TCP socket bound to 127.0.0.1 on a free port (in `port`), listening with `backlog`
// unless that is negative. -1 on failure.
int loopbackSocket(int backlog, uint16_t& port);

class LocalHttpServer {
public:
    struct Request {
        std::string requestLine; // "POST /~cddb/cddb.cgi HTTP/1.0"
        std::string method, target, version;
        std::vector<std::pair<std::string, std::string>> headers; // in the order sent
        std::string head; // request line and header lines exactly as received
        std::string body;
        // The first header of that name (any letter case); empty when absent.
        std::string header(const std::string& name) const;
        bool hasHeader(const std::string& name) const;
    };

    struct Reply {
        std::string bytes;           // sent as they are
        size_t sendBytes = SIZE_MAX; // send only this many of them
        bool hold = false;           // then keep the connection open until the client leaves
    };
    using Handler = std::function<Reply(const Request&)>;

    explicit LocalHttpServer(Handler handler);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    uint16_t port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::vector<Request> requests() const;

    // An HTTP/1.0 answer around `body`.
    static std::string answer(const std::string& body, int status = 200,
                              bool contentLength = false);

private:
    void serve();
    void handle(int fd);
    Handler m_handler;
    int m_listen = -1;
    int m_stop[2] = {-1, -1};
    uint16_t m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
};

} // namespace kytest
