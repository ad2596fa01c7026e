#pragma once
// A CDDB server over HTTP for tests, on the local HTTP server: it answers "cddb query",
// "cddb read", "sites" and submissions from what the test puts into it, and keeps every
// request for the test to look at.
#include "metadata/freedb_client.h"
#include "support/local_http_server.h"
#include "support/test_discs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kytest {

class FakeCddbServer {
public:
    FakeCddbServer();

    // Each answer is the CDDB text (without HTTP headers); set before requests are sent.
    std::string queryAnswer = "202 No match for disc ID 00000000.\r\n";
    // "rock 06019002" -> the xmcd record; a read of any other gets code 401.
    std::map<std::string, std::string> records;
    std::string sitesAnswer = "210 OK, site information follows (until terminating `.')\r\n"
                              "gnudb.gnudb.org http 80 /~cddb/cddb.cgi N000.00 W000.00 "
                              "Random gnudb server\r\n.\r\n";
    std::string submitAnswer = "200 OK, submission has been sent.\r\n";
    // Replaces the answer to every request when set (whole HTTP text, may be cut short).
    std::optional<LocalHttpServer::Reply> override;
    // How long each answer takes (a slow database).
    std::chrono::milliseconds delay{0};

    std::string url() const { return m_server.url(); }
    std::string hostPort() const { return m_server.hostPort(); }
    std::vector<LocalHttpServer::Request> requests() const { return m_server.requests(); }

    // The answer a read of `key` gets: "210 ..." and the record with its "." line.
    static std::string readAnswer(const std::string& key, const std::string& record);

private:
    LocalHttpServer::Reply answer(const LocalHttpServer::Request& request);
    LocalHttpServer m_server;
};

// A gnudb client of a fake server, on the two-track disc, with short time-outs.
class CddbClientTest : public ::testing::Test {
protected:
    NoProxyEnvironment noProxy;
    FakeCddbServer cddb;
    std::string server = cddb.url(), proxy, email = "ann@example.org";
    FreedbClient client{server, proxy, email};
    kyDiscToc toc = twoTrackToc();

    CddbClientTest() { client.timeouts = kyHttpTimeouts::Total(3000); }
};

} // namespace kytest
