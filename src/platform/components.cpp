#include "platform/components.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>

namespace {
std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}
// Filled during static initialisation, so it is made on first use.
std::vector<kyComponent>& registry() {
    static std::vector<kyComponent> list;
    return list;
}
} // namespace

void kyRegisterComponent(const kyComponent& component) {
    std::lock_guard<std::mutex> guard(registryLock());
    auto& list = registry();
    for (const kyComponent& c : list)
        if (std::strcmp(c.name, component.name) == 0) return;
    list.push_back(component);
}

std::vector<kyComponent> kyComponents() {
    std::vector<kyComponent> list;
    {
        std::lock_guard<std::mutex> guard(registryLock());
        list = registry();
    }
    std::sort(list.begin(), list.end(), [](const kyComponent& a, const kyComponent& b) {
        return std::strcmp(a.name, b.name) < 0;
    });
    return list;
}

std::string kyLibraryFileOf(const void* symbol) {
    Dl_info info{};
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    // The loader names the library by its soname link; the file behind it carries the
    // full version.
    if (char* real = realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
