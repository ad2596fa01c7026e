#include "platform/music_folder.h"
#include "platform/user_folders.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

std::string kyParseUserDirsMusic(std::string_view text, std::string_view home) {
    std::string result;
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        constexpr std::string_view key = "XDG_MUSIC_DIR=";
        if (line.substr(0, key.size()) != key) continue;
        line.remove_prefix(key.size());
        if (line.empty() || line.front() != '"') continue;
        line.remove_prefix(1);
        // Values are "$HOME/relative" or "/absolute", with \" \\ \$ escapes.
        std::string value;
        bool closed = false;
        for (size_t i = 0; i < line.size(); ++i) {
            char c = line[i];
            if (c == '"') {
                closed = true;
                break;
            }
            if (c == '\\' && i + 1 < line.size()) c = line[++i];
            value += c;
        }
        if (!closed) continue;
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
            if (home.empty()) continue;
            value = std::string(home) + value.substr(5);
        } else if (value.empty() || value.front() != '/') {
            continue;
        }
        while (value.size() > 1 && value.back() == '/') value.pop_back();
        // A music folder that is the home folder itself means "not set".
        std::string bareHome(home);
        while (bareHome.size() > 1 && bareHome.back() == '/') bareHome.pop_back();
        if (value == bareHome) continue;
        result = value; // the last entry wins, as the shell reads the file
    }
    return result;
}

std::string kyUserMusicFolder() {
    const char* homeEnv = std::getenv("HOME");
    std::string home = homeEnv ? homeEnv : "";
    const std::string config = kyUserConfigFolder();
    if (!config.empty()) {
        std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            std::string found = kyParseUserDirsMusic(text.str(), home);
            if (!found.empty()) return found;
        }
    }
    if (home.empty()) return {};
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + "/Music";
}
