#include "core/statistics/event_format.h"

#include <cstdio>
#include <ctime>

namespace Statistics::EventFormat {

std::string escape(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20) {
                char code[7];
                std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(byte));
                out += code;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string object(std::initializer_list<Field> fields)
{
    std::string out = "{";
    bool first = true;
    for (const auto& [key, value] : fields) {
        if (!first)
            out += ',';
        first = false;
        out += '"';
        out += key;
        out += "\":\"";
        out += escape(value);
        out += '"';
    }
    out += '}';
    return out;
}

std::string formatTime(const AppStatistics::TimePoint& time)
{
    // Floor division, so that instants before 1970 keep a fraction in 0..999.
    const long long micros = time.time_since_epoch().count();
    long long seconds = micros / 1000000;
    if (micros % 1000000 < 0)
        --seconds;
    const long long millis = (micros - seconds * 1000000) / 1000;

    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm calendar{};
    gmtime_r(&whole, &calendar); // reentrant: no storage shared between threads

    // The year always has four digits, which strftime's %F does not give before year 1000.
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", calendar.tm_year + 1900,
                  calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_hour, calendar.tm_min, calendar.tm_sec, millis);
    return text;
}

std::string eventTime(const AppStatistics& record)
{
    if (record.eventTime.time_since_epoch().count() != 0)
        return formatTime(record.eventTime);
    return formatTime(std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now()));
}

std::string playerStateToString(std::int32_t state)
{
    switch (state) {
    case 0: return "unknown";
    case 1: return "idle";
    case 2: return "active";
    default: return "";
    }
}

std::string booleanText(bool value)
{
    return value ? "true" : "false";
}

} // namespace Statistics::EventFormat
