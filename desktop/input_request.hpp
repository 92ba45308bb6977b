#pragma once
// The body of /api/input: a monitor number and a batch of event records.
#include <functional>
#include <span>

#include "base/json_file.hpp"
#include "desktop/held_input.hpp"
#include "desktop/input_records.hpp"
#include "platform/system.hpp"

namespace kelvora::desktop {

// What injecting needs from outside, so a batch can be replayed against a recording fake.
struct InputPort {
    std::function<InputTarget()> target; // asked once, only when an event has a position
    std::function<std::size_t(std::span<const platform::InputRecord>)> send;
};

// Longest batch and longest typed text one request may carry (the web client sends at most
// 200 events, and its text box far less text).
inline constexpr std::size_t kMaxEvents = 2000;
inline constexpr std::size_t kMaxTypedUnits = 20000;

// When the system took none of a batch's records, in its own words.
std::string input_blocked_message(platform::Os os);

// Injects the batch (the control gate is the caller's) and gives the reply.
json inject_batch(const json& body, HeldInput& held, const InputPort& port);

// Lets go of everything held; returns how many records the OS took.
std::size_t release_all(HeldInput& held, const InputPort& port);

} // namespace kelvora::desktop
