#include "desktop/mailbox.hpp"

#include "http/fields.hpp"

namespace kelvora::desktop {

bool is_box_name(const std::string& name) {
    return name == "cap" || name == "main";
}

void Mailbox::put(const std::string& box, json m) {
    if (m.dump().size() > kMaxMessageBytes) return;
    {
        std::lock_guard lock(mutex_);
        auto& q = boxes_[box];
        if (q.size() < kBoxLimit) q.push_back(std::move(m));
    }
    put_.notify_all();
}

json Mailbox::take(const std::string& box, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    std::unique_lock lock(mutex_);
    auto ready = [&] {
        auto it = boxes_.find(box);
        return it != boxes_.end() && !it->second.empty();
    };
    if (!ready() && waiting_ < kMaxWaitingReads) {
        ++waiting_;
        put_.wait_until(lock, until, ready);
        --waiting_;
    }
    json out = json::array();
    auto it = boxes_.find(box);
    if (it == boxes_.end()) return out;
    for (auto& m : it->second)
        out.push_back(std::move(m));
    it->second.clear();
    return out;
}

void Mailbox::clear() {
    {
        std::lock_guard lock(mutex_);
        boxes_.clear();
    }
    put_.notify_all();
}

void Mailbox::clear(const std::string& box) {
    std::lock_guard lock(mutex_);
    boxes_.erase(box);
}

json mailbox_put(Mailbox& box, const json& body, const std::string& cap_box) {
    const std::string name = http::text_field(body, "a");
    if (!is_box_name(name)) return {{"ok", false}};
    auto it = body.find("m");
    box.put(name == "cap" ? cap_box : name, it == body.end() ? json(nullptr) : *it);
    return http::ok_reply();
}

json mailbox_read(Mailbox& box, const json& body, std::chrono::milliseconds wait) {
    const std::string name = http::text_field(body, "de");
    if (!is_box_name(name)) return {{"ok", false}, {"m", json::array()}};
    return {{"ok", true}, {"m", box.take(name, wait)}};
}

} // namespace kelvora::desktop
