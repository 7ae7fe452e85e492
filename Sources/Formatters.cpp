// Placeholder until the formatters land.
#include "Formatters.h"

std::string Formatters::stringFromBytes(std::int64_t bytes) { return std::to_string(bytes) + " bytes"; }
std::string Formatters::timeFromInterval(double seconds) { return std::to_string(static_cast<long long>(seconds)); }
