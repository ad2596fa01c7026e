#include "platform/library_loader.h"
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <memory>
#include <mutex>

namespace {
void* openLibrary(const char* name) {
    const char* path = std::getenv("DSKR_LIBRARY_PATH");
    if (!path) return dlopen(name, RTLD_NOW | RTLD_LOCAL);
    const std::string folders = path;
    for (size_t pos = 0; pos <= folders.size();) {
        size_t colon = folders.find(':', pos);
        if (colon == std::string::npos) colon = folders.size();
        if (colon > pos) {
            const std::string file = folders.substr(pos, colon - pos) + "/" + name;
            if (void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
        }
        pos = colon + 1;
    }
    return nullptr;
}
} // namespace

kyLibrary* kyLibrary::Load(std::initializer_list<const char*> names) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<kyLibrary>> loaded; // never unloaded
    std::lock_guard<std::mutex> guard(lock);
    for (const char* name : names) {
        auto it = loaded.find(name);
        if (it != loaded.end()) return it->second.get();
        if (void* h = openLibrary(name)) {
            auto lib = std::unique_ptr<kyLibrary>(new kyLibrary(h, name));
            kyLibrary* raw = lib.get();
            loaded.emplace(name, std::move(lib));
            return raw;
        }
    }
    return nullptr;
}

void* kyLibrary::Symbol(const char* name) const {
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

kyEntryPoints::kyEntryPoints(const char* libraryName)
    : m_lib(kyLibrary::Load({libraryName})), m_name(libraryName) {}

std::string kyLibrary::FileName() const {
    link_map* map = nullptr;
    if (!m_handle || dlinfo(m_handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return m_name;
    std::string path = map->l_name;
    if (char* real = realpath(path.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
