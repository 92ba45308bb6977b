#pragma once
// The steps of one installation and how long each took: the log line they make shows where
// an update spent its time (a slow disk, an antivirus holding the test run).
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kelvora::update {

class StageClock {
public:
    // Ends the step begun at the previous lap (or at the clock's making).
    void lap(std::string name) {
        const auto now = std::chrono::steady_clock::now();
        laps_.emplace_back(std::move(name),
                           std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count());
        last_ = now;
    }
    // "descarga 812 ms, guardado 40 ms"
    std::string text() const {
        std::string out;
        for (const auto& [name, ms] : laps_)
            out += (out.empty() ? "" : ", ") + name + " " + std::to_string(ms) + " ms";
        return out;
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    std::vector<std::pair<std::string, long long>> laps_;
};

} // namespace kelvora::update
