#include "app/shell.h"

#include "job/output_naming.h"

#include <sys/stat.h>

std::vector<kyPromptButton> messageBoxButtons(int type) {
    switch (type) {
    case 0:
        return {{"&OK", kyAnswerOk}};
    case 1:
        return {{"&OK", kyAnswerOk}, {"&Cancel", kyAnswerCancel}};
    case 2:
        return {{"&Abort", kyAnswerAbort}, {"&Retry", kyAnswerRetry}, {"&Ignore", kyAnswerIgnore}};
    case 3:
        return {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}, {"Cancel", kyAnswerCancel}};
    case 4:
        return {{"&Yes", kyAnswerYes}, {"&No", kyAnswerNo}};
    case 5:
        return {{"&Retry", kyAnswerRetry}, {"&Cancel", kyAnswerCancel}};
    default:
        return {};
    }
}

std::string messageBoxText(std::string_view text) {
    if (text.size() <= kMessageBoxTextLimit) return std::string(text);
    // Cut on a character boundary.
    size_t n = kMessageBoxTextLimit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
}

std::string writerErrorText(kyError code) {
    if (code == KYERR_MISSING_COMPONENT)
        return std::string("Writing to this file format requires that you install a free external "
                           "third-party 'add-on'.\n\nFor more information, check under "
                           "'resources' on our web site: \t") +
               kInfoPageUrl;
    return kyErrorMessage(code);
}

std::string programDirectoryOf(std::string_view programPath) {
    const size_t slash = programPath.rfind('/');
    return slash == std::string_view::npos ? std::string(".")
                                           : std::string(programPath.substr(0, slash));
}

std::string findHelpFile(const std::string& programDirectory) {
    for (const char* extension : {".pdf", ".html", ".htm"}) {
        const std::string path = programDirectory + "/DskR" + extension;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return {};
}

std::string albumArtQueryText(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    constexpr size_t kRoom = 255;
    std::string out;
    for (unsigned char c : utf8) {
        std::string piece;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~')
            piece = static_cast<char>(c);
        else if (c == ' ')
            piece = "+";
        else if (c == '\'' || c == '`' || c == '"')
            continue;
        else
            piece = {'%', kHex[c >> 4], kHex[c & 15]};
        if (out.size() + piece.size() > kRoom) break;
        out += piece;
    }
    return out;
}

std::string albumArtUrl(const DiscInfo& disc) {
    return std::string(kAlbumArtSearchUrl) + "?skey=" + albumArtQueryText(disc.artist) + "+" +
           albumArtQueryText(disc.title) + "&itempage=1&newsearch=1&searchindex=Music";
}

std::string albumArtFolder(const RipSettings& settings, const DiscInfo& disc) {
    std::string path = outputDirectory(settings) + buildFileName(settings, disc, nullptr);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}
