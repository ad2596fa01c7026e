#include "support/local_http_server.h"

#include "core/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kytest {
namespace {

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    const size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// Waits for `fd` or the stop pipe; false when stopping.
bool waitFor(int fd, int stop, short events) {
    pollfd p[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
    while (poll(p, 2, -1) < 0)
        if (errno != EINTR) return false;
    return !(p[1].revents & POLLIN);
}

} // namespace

std::string LocalHttpServer::Request::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (kyEqualsNoCaseAscii(n, name)) return v;
    return {};
}

bool LocalHttpServer::Request::hasHeader(const std::string& name) const {
    for (const auto& h : headers)
        if (kyEqualsNoCaseAscii(h.first, name)) return true;
    return false;
}

int loopbackSocket(int backlog, uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

LocalHttpServer::LocalHttpServer(Handler handler) : m_handler(std::move(handler)) {
    m_listen = loopbackSocket(8, m_port);
    if (pipe2(m_stop, O_CLOEXEC) != 0) m_stop[0] = m_stop[1] = -1;
    m_thread = std::thread([this] { serve(); });
}

LocalHttpServer::~LocalHttpServer() {
    if (m_stop[1] >= 0) (void)!write(m_stop[1], "x", 1);
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
    close(m_stop[0]);
    close(m_stop[1]);
}

std::vector<LocalHttpServer::Request> LocalHttpServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::string LocalHttpServer::answer(const std::string& body, int status, bool contentLength) {
    std::string out = "HTTP/1.0 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
                      "\r\nContent-Type: text/plain; charset=UTF-8\r\n";
    if (contentLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

void LocalHttpServer::serve() {
    for (;;) {
        if (!waitFor(m_listen, m_stop[0], POLLIN)) return;
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        handle(fd);
        close(fd);
    }
}

void LocalHttpServer::handle(int fd) {
    Request request;
    Reply reply;
    {
        std::string data;
        size_t headEnd = std::string::npos;
        size_t need = SIZE_MAX;
        char buf[4096];
        while (data.size() < need) {
            if (!waitFor(fd, m_stop[0], POLLIN)) return;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            data.append(buf, static_cast<size_t>(n));
            if (headEnd == std::string::npos &&
                (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                request.head = data.substr(0, headEnd + 2);
                size_t pos = request.head.find("\r\n");
                request.requestLine = request.head.substr(0, pos);
                pos += 2;
                while (pos < request.head.size()) {
                    const size_t eol = request.head.find("\r\n", pos);
                    const std::string line = request.head.substr(pos, eol - pos);
                    pos = eol + 2;
                    const size_t colon = line.find(':');
                    if (colon != std::string::npos)
                        request.headers.emplace_back(trim(line.substr(0, colon)),
                                                     trim(line.substr(colon + 1)));
                }
                const std::string& l = request.requestLine;
                const size_t a = l.find(' '), b = l.rfind(' ');
                request.method = l.substr(0, a);
                if (a != std::string::npos && b > a) {
                    request.target = l.substr(a + 1, b - a - 1);
                    request.version = l.substr(b + 1);
                }
                const std::string length = request.header("Content-Length");
                need = headEnd + 4 + (length.empty() ? 0 : std::stoul(length));
            }
        }
        request.body = data.substr(headEnd + 4, need - headEnd - 4);
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        reply = m_handler ? m_handler(request) : Reply{};
    }
    const size_t count = std::min(reply.sendBytes, reply.bytes.size());
    for (size_t sent = 0; sent < count;) {
        const ssize_t n = send(fd, reply.bytes.data() + sent, count - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
    if (!reply.hold) return;
    // Hold the line: send nothing more until the client gives up or the test ends.
    for (char buf[4096];;) {
        if (!waitFor(fd, m_stop[0], POLLIN)) return;
        if (recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
}

} // namespace kytest
