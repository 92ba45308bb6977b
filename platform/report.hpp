#pragma once
// Where backend failures go: one line each, naming the OS call and its code. Until the
// program hands over its log they go to stderr.
#include <functional>
#include <string>

namespace kelvora::platform {

void set_report_sink(std::function<void(const std::string& line)> sink);
void report(const std::string& line);

} // namespace kelvora::platform
