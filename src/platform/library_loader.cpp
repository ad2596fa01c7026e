#include "platform/library_loader.h"
#include <dlfcn.h>
#include <map>
#include <memory>
#include <mutex>

kyLibrary* kyLibrary::Load(std::initializer_list<const char*> names) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<kyLibrary>> loaded; // never unloaded
    std::lock_guard<std::mutex> guard(lock);
    for (const char* name : names) {
        auto it = loaded.find(name);
        if (it != loaded.end()) return it->second.get();
        if (void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
            auto lib = std::unique_ptr<kyLibrary>(new kyLibrary(h, name));
            kyLibrary* raw = lib.get();
            loaded.emplace(name, std::move(lib));
            return raw;
        }
    }
    return nullptr;
}

void* kyLibrary::Symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }
