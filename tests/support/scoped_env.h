#pragma once
// Keeps environment variables as they were: a test may change them freely, and they are
// put back when the guard goes out of scope.
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kytest {

class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* v = std::getenv(name);
            m_saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    ~ScopedEnv() {
        for (const auto& [name, v] : m_saved) {
            if (v)
                ::setenv(name.c_str(), v->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

} // namespace kytest
