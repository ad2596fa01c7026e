#pragma once
// The libraries DskR reads and writes through, with the versions found at run time, for
// `dskr-cli --version` and bug reports. Each library's loader adds itself once, at
// start-up, with a line in its own file:
//
//   static const kyComponentRegistration registration{{"libcdio", "drive access", version}};
//
// where `version` answers the version text, or nothing when the library is not installed.
#include <optional>
#include <string>
#include <vector>

struct kyComponent {
    const char* name;    // "libcdio"
    const char* purpose; // what DskR uses it for: "drive access through libcdio"
    std::optional<std::string> (*version)();
};

void kyRegisterComponent(const kyComponent& component);
// Every registered component, by name.
std::vector<kyComponent> kyComponents();

struct kyComponentRegistration {
    explicit kyComponentRegistration(const kyComponent& component) {
        kyRegisterComponent(component);
    }
};

// The file a loaded library was read from, without its folder ("libmpg123.so.0.47.0"),
// found from the address of one of its symbols; empty when unknown. For libraries that
// cannot tell their own version.
std::string kyLibraryFileOf(const void* symbol);
