#pragma once
// Loading shared libraries at run time. Each library is opened once per process and never
// unloaded; callers keep one table of entry points per library and resolve it once.
#include <initializer_list>
#include <string>

class kyLibrary {
public:
    // Opens the first of `names` that loads (RTLD_NOW | RTLD_LOCAL). Null when none does.
    static kyLibrary* Load(std::initializer_list<const char*> names);

    // Address of an entry point, or null.
    void* Symbol(const char* name) const;
    const std::string& Name() const { return m_name; }

private:
    kyLibrary(void* handle, std::string name) : m_handle(handle), m_name(std::move(name)) {}
    void* m_handle;
    std::string m_name;
};

// Resolves every entry point of a table at once: `ok` stays true only when all are found.
template <typename Fn> bool kyResolve(const kyLibrary* lib, const char* name, Fn& out) {
    out = lib ? reinterpret_cast<Fn>(lib->Symbol(name)) : nullptr;
    return out != nullptr;
}
