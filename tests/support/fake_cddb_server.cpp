#include "support/fake_cddb_server.h"

#include <thread>

namespace kytest {

FakeCddbServer::FakeCddbServer()
    : m_server([this](const LocalHttpServer::Request& r) { return answer(r); }) {}

std::string FakeCddbServer::readAnswer(const std::string& key, const std::string& record) {
    return "210 " + key + " CD database entry follows (until terminating `.')\r\n" + record +
           ".\r\n";
}

LocalHttpServer::Reply FakeCddbServer::answer(const LocalHttpServer::Request& request) {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (override) return *override;
    if (request.target.find("submit.cgi") != std::string::npos)
        return {LocalHttpServer::answer(submitAnswer)};
    const std::string& body = request.body;
    if (body.rfind("cmd=cddb+query+", 0) == 0) return {LocalHttpServer::answer(queryAnswer)};
    if (body.rfind("cmd=sites", 0) == 0) return {LocalHttpServer::answer(sitesAnswer)};
    if (body.rfind("cmd=cddb+read+", 0) == 0) {
        std::string key = body.substr(14, body.find('&') - 14);
        key[key.find('+')] = ' ';
        auto it = records.find(key);
        if (it == records.end())
            return {LocalHttpServer::answer("401 " + key + " No such CD entry in database.\r\n")};
        return {LocalHttpServer::answer(readAnswer(key, it->second))};
    }
    return {LocalHttpServer::answer("500 Unrecognized command.\r\n")};
}

} // namespace kytest
