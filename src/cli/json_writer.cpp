#include "cli/json_writer.h"
#include <cmath>
#include <cstdio>

void JsonWriter::separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back()) m_out += ',';
        m_first.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    m_out += '{';
    m_first.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::endObject() {
    m_out += '}';
    m_first.pop_back();
    return *this;
}
JsonWriter& JsonWriter::beginArray() {
    separate();
    m_out += '[';
    m_first.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::endArray() {
    m_out += ']';
    m_first.pop_back();
    return *this;
}
JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    m_out += quote(name);
    m_out += ':';
    m_afterKey = true;
    return *this;
}
JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    m_out += quote(text);
    return *this;
}
JsonWriter& JsonWriter::value(const char* text) {
    return text ? value(std::string_view(text)) : null();
}
JsonWriter& JsonWriter::value(int64_t number) {
    separate();
    m_out += std::to_string(number);
    return *this;
}
JsonWriter& JsonWriter::value(double number) {
    if (!std::isfinite(number)) return null();
    separate();
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", number);
    m_out += buf;
    return *this;
}
JsonWriter& JsonWriter::value(bool flag) {
    separate();
    m_out += flag ? "true" : "false";
    return *this;
}
JsonWriter& JsonWriter::null() {
    separate();
    m_out += "null";
    return *this;
}

std::string JsonWriter::quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}
