#include "platform/user_folders.h"

#include <cstdlib>

namespace {
std::string xdgFolder(const char* variable, const char* fallback) {
    std::string base;
    const char* xdg = std::getenv(variable);
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !home[0]) return {};
        base = home;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        base += fallback;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base;
}
} // namespace

std::string kyUserConfigFolder() {
    return xdgFolder("XDG_CONFIG_HOME", "/.config");
}

std::string kyUserCacheFolder() {
    return xdgFolder("XDG_CACHE_HOME", "/.cache");
}
