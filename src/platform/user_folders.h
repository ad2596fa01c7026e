#pragma once
// The per-user folders of the XDG base directory layout. Each is empty when neither its
// variable nor HOME says where it is; none ends with "/".
#include <string>

// $XDG_CONFIG_HOME, or ~/.config for an unset or relative one.
std::string kyUserConfigFolder();
// $XDG_CACHE_HOME, or ~/.cache for an unset or relative one.
std::string kyUserCacheFolder();
