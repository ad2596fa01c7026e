#pragma once
// Loading shared libraries at run time. Each library is opened once per process and never
// unloaded; callers keep one table of entry points per library and resolve it once.
//
// DSKR_LIBRARY_PATH, when set, is a colon-separated list of folders searched instead of
// the system's: a folder without a library makes that library missing, which is how the
// program is tried without one.
#include <initializer_list>
#include <string>

class kyLibrary {
public:
    // Opens the first of `names` that loads (RTLD_NOW | RTLD_LOCAL). Null when none does.
    static kyLibrary* Load(std::initializer_list<const char*> names);

    // Address of an entry point, or null.
    void* Symbol(const char* name) const;
    const std::string& Name() const { return m_name; }
    // The file the library was read from, without its folder ("libcdio.so.19.0.0").
    std::string FileName() const;

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

// Resolves one table of entry points from one library and remembers what was missing
// first, for the message a user sees ("libFLAC.so.12 not found", "libFLAC.so.12 has no
// FLAC__stream_encoder_new").
class kyEntryPoints {
public:
    explicit kyEntryPoints(const char* libraryName);
    template <typename Fn> void operator()(const char* name, Fn& out) {
        if (!kyResolve(m_lib, name, out) && m_missing.empty())
            m_missing = m_lib ? m_name + " has no " + name : m_name + " not found";
    }
    bool ok() const { return m_missing.empty(); }
    // Empty when every entry point was found.
    const std::string& missing() const { return m_missing; }

private:
    const kyLibrary* m_lib;
    std::string m_name;
    std::string m_missing;
};

// A table of entry points and, when it did not resolve, what was missing.
template <typename Table> struct kyResolvedTable {
    Table table{};
    std::string missing;
    const Table* get() const { return missing.empty() ? &table : nullptr; }
};
