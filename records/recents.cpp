#include "records/recents.hpp"

#include <string>

#include "base/log.hpp"
#include "base/text.hpp"

namespace kelvora::records {

namespace {

constexpr std::size_t kMaxNameChars = 48;

bool has_id(const json& entry, std::string_view id) {
    if (!entry.is_object()) return false;
    auto it = entry.find("id");
    return it != entry.end() && it->is_string() && it->get_ref<const std::string&>() == id;
}

void erase_id(json& list, std::string_view id) {
    for (auto it = list.begin(); it != list.end();)
        it = has_id(*it, id) ? list.erase(it) : it + 1;
}

} // namespace

RecentList::RecentList(std::filesystem::path dir) : dir_(std::move(dir)) {}

json RecentList::read() const {
    auto doc = load_json_file_in(dir_, kRecentsFile);
    return doc && doc->is_array() ? std::move(*doc) : json::array();
}

json RecentList::list() const {
    std::lock_guard lock(mutex_);
    return read();
}

json RecentList::add(std::string_view id, std::string_view name) {
    std::string digits;
    for (char c : id) {
        if (c >= '0' && c <= '9') digits.push_back(c);
        if (digits.size() > 9) break;
    }
    std::lock_guard lock(mutex_);
    json list = read();
    if (digits.size() != 9) return list;
    erase_id(list, digits);
    list.insert(list.begin(), json{{"fecha", time_stamp_now()},
                                   {"id", digits},
                                   {"nombre", utf8_prefix(name, kMaxNameChars)}});
    if (list.size() > kMaxRecents) list.erase(list.begin() + kMaxRecents, list.end());
    save_json_file_in(dir_, kRecentsFile, list);
    return list;
}

json RecentList::remove(std::string_view id) {
    std::lock_guard lock(mutex_);
    json list = read();
    erase_id(list, id);
    save_json_file_in(dir_, kRecentsFile, list);
    return list;
}

} // namespace kelvora::records
