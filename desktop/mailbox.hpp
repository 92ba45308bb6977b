#pragma once
// The mailbox between the main page and the capture page: two boxes, "cap" and "main", of
// JSON messages, read by long polling. One per process.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "base/json_file.hpp"

namespace kelvora::desktop {

// Messages an unread box keeps; later ones are dropped until it is read.
inline constexpr std::size_t kBoxLimit = 200;
// How long a read waits for a message before it answers with none.
inline constexpr auto kReadWait = std::chrono::seconds(15);
// Reads waiting at once; a read past this answers at once with none, so that a flood of
// reads can't keep the server's threads.
inline constexpr std::size_t kMaxWaitingReads = 8;
// A message larger than this (compact JSON) is dropped: the pages exchange descriptions
// and candidates of a few kilobytes.
inline constexpr std::size_t kMaxMessageBytes = 256 * 1024;

// Whether name is one of the two boxes.
bool is_box_name(const std::string& name);

class Mailbox {
public:
    // Appends m to box (which must be a box name) unless the box is full or m too large;
    // wakes every waiting read.
    void put(const std::string& box, json m);
    // Takes every message of box, waiting up to `wait` for the first one.
    json take(const std::string& box, std::chrono::milliseconds wait);
    // Empties every box, or one.
    void clear();
    void clear(const std::string& box);

private:
    std::mutex mutex_;
    std::condition_variable put_;
    std::map<std::string, std::deque<json>> boxes_; // guarded by mutex_, as is waiting_
    std::size_t waiting_ = 0;
};

// The two endpoints' replies; messages for "cap" go to cap_box.
json mailbox_put(Mailbox& box, const json& body, const std::string& cap_box = "cap");
json mailbox_read(Mailbox& box, const json& body, std::chrono::milliseconds wait = kReadWait);

} // namespace kelvora::desktop
