#pragma once
// A small streaming JSON writer for the command line's --json output.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // Inside an object: the name of the next value.
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text);
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint32_t number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(double number); // non-finite numbers become null
    JsonWriter& value(bool flag);
    JsonWriter& null();
    template <typename T> JsonWriter& value(const std::optional<T>& v) {
        return v ? value(*v) : null();
    }
    const std::string& str() const { return m_out; }

    static std::string quote(std::string_view text);

private:
    void separate();
    std::string m_out;
    std::vector<bool> m_first; // per open container: no element written yet
    bool m_afterKey = false;
};
