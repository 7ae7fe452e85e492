#pragma once

#include "core/statistics/app_statistics.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

// Pieces shared by the server and log-service events: every event is a flat JSON object
// whose values are all strings.
namespace Statistics::EventFormat {

using Field = std::pair<const char*, std::string>;

// The value as the inside of a JSON string (RFC 8259 section 7); other bytes unchanged.
std::string escape(const std::string& value);

// "{" + "\"key\":\"value\"" joined by "," + "}"; keys are written as they stand.
std::string object(std::initializer_list<Field> fields);

// UTC "YYYY-MM-DDThh:mm:ss" (four-digit year) + "." + milliseconds (rounded down, three digits) + "Z".
std::string formatTime(const AppStatistics::TimePoint& time);

// Time text of the record's event time, or of now when it is not set.
std::string eventTime(const AppStatistics& record);

// 0 "unknown", 1 "idle", 2 "active", anything else "".
std::string playerStateToString(std::int32_t state);

// "true" or "false".
std::string booleanText(bool value);

} // namespace Statistics::EventFormat
