#pragma once
// The user's music folder: XDG_MUSIC_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (default
// ~/.config/user-dirs.dirs), else ~/Music. No trailing "/". Empty when no home directory
// is known.
#include <string>
#include <string_view>

std::string kyUserMusicFolder();

// The XDG_MUSIC_DIR entry of a user-dirs.dirs text, with "$HOME" expanded from `home`;
// empty when the text has no usable entry.
std::string kyParseUserDirsMusic(std::string_view text, std::string_view home);
