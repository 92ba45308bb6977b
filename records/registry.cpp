#include "records/registry.hpp"

#include <chrono>

#include "base/text.hpp"
#include "http/fields.hpp"

namespace kelvora::records {

namespace {

constexpr std::size_t kMaxNameChars = 48;
constexpr std::size_t kMaxIdDigits = 9;
// Keys come from our own page and are short; the cap only bounds what a stray caller can
// make the registry hold.
constexpr std::size_t kMaxKeyChars = 128;

std::string id_digits(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (out.size() == kMaxIdDigits) break;
        if (c >= '0' && c <= '9') out.push_back(c);
    }
    return out;
}

std::string string_member(const json& body, const char* name, bool& present) {
    present = false;
    if (!body.is_object()) return {};
    auto it = body.find(name);
    if (it == body.end() || !it->is_string()) return {};
    present = true;
    return it->get<std::string>();
}

json session_entry(const std::string& key, const Session& s) {
    return {{"k", key},   {"rol", s.role},        {"con", s.con},
            {"id", s.id}, {"control", s.control}, {"inicio", s.started}};
}

} // namespace

SessionReport session_report(const json& body) {
    SessionReport r;
    r.key = utf8_prefix(http::text_field(body, "k"), kMaxKeyChars);
    r.active = http::flag_field(body, "activa");
    r.role = http::text_field(body, "rol");
    r.control = http::flag_field(body, "control");
    r.con = utf8_prefix(http::text_field(body, "con"), kMaxNameChars);
    r.id = id_digits(http::text_field(body, "id"));
    return r;
}

std::string call_key(const json& body) {
    bool present;
    std::string key = string_member(body, "k", present);
    if (!present) key = string_member(body, "tipo", present);
    if (!present) key = "grupo";
    return utf8_prefix(key, kMaxKeyChars);
}

std::int64_t system_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

SessionRegistry::SessionRegistry(Clock now) : now_(std::move(now)) {}

RegistryChange SessionRegistry::report(const SessionReport& r) {
    return r.active ? start_or_update(r) : end(r.key);
}

RegistryChange SessionRegistry::start_or_update(const SessionReport& r) {
    RegistryChange change;
    const bool says_host = r.role == "host";
    std::lock_guard lock(mutex_);
    auto [it, created] = sessions_.try_emplace(r.key);
    Session& s = it->second;
    if (created) {
        s.role = says_host ? "host" : "tech";
        s.started = now_();
    }
    s.con = r.con;
    s.id = r.id;
    const bool was = s.control;
    // The role is fixed when the record is made: a technician's session never holds
    // control, whatever a later report says.
    s.control = s.role == "host" && says_host && r.control;
    if (created)
        change.log.push_back(std::string("[SESION] empieza (") +
                             (says_host ? "recibo soporte" : "doy soporte") + ") con " + s.con +
                             " " + s.id);
    else if (was != s.control)
        change.log.push_back(std::string("[SESION] control ") +
                             (s.control ? "permitido" : "quitado"));
    change.release_input = was && !s.control;
    return change;
}

void SessionRegistry::end_locked(std::map<std::string, Session>::iterator it,
                                 RegistryChange& change) {
    const Session& s = it->second;
    const std::int64_t now = now_();
    const std::int64_t seconds = now > s.started ? now - s.started : 0;
    const bool host = s.role == "host";
    change.log.push_back(std::string("[SESION] termina (") + (host ? "recibi" : "di") + ") con " +
                         s.con + " " + s.id + " · " + std::to_string(seconds) + " s");
    change.ended.push_back({s, seconds});
    sessions_.erase(it);
}

bool SessionRegistry::any_host_locked() const {
    for (const auto& [key, s] : sessions_)
        if (s.role == "host") return true;
    return false;
}

RegistryChange SessionRegistry::end(const std::string& key) {
    RegistryChange change;
    std::lock_guard lock(mutex_);
    if (key.empty()) {
        while (!sessions_.empty())
            end_locked(sessions_.begin(), change);
    } else if (auto it = sessions_.find(key); it != sessions_.end()) {
        end_locked(it, change);
    }
    bool host_ended = false;
    for (const auto& e : change.ended)
        host_ended = host_ended || e.session.role == "host";
    change.last_host_ended = host_ended && !any_host_locked();
    return change;
}

RegistryChange SessionRegistry::end_all() {
    RegistryChange change = end("");
    std::lock_guard lock(mutex_);
    for (const auto& [key, con] : calls_)
        change.log.push_back("[LLAMADA] termina " + key);
    calls_.clear();
    return change;
}

std::optional<std::string> SessionRegistry::report_call(const std::string& key, bool active,
                                                        const std::string& con) {
    std::lock_guard lock(mutex_);
    if (active) {
        calls_[key] = utf8_prefix(con, kMaxNameChars);
        return "[LLAMADA] empieza " + key;
    }
    // A page that starts has no call yet: one reloaded mid-call could not say its calls ended.
    if (key.empty()) {
        if (calls_.empty()) return std::nullopt;
        calls_.clear();
        return std::string("[LLAMADA] terminan todas");
    }
    if (calls_.erase(key) == 0) return std::nullopt;
    return "[LLAMADA] termina " + key;
}

bool SessionRegistry::control_granted() const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, s] : sessions_)
        if (s.role == "host" && s.control) return true;
    return false;
}

bool SessionRegistry::busy() const {
    std::lock_guard lock(mutex_);
    return !sessions_.empty() || !calls_.empty();
}

void SessionRegistry::add_state_fields(json& state) const {
    std::lock_guard lock(mutex_);
    // The host session the state speaks of: one that grants control, else the first.
    const Session* host = nullptr;
    json list = json::array();
    for (const auto& [key, s] : sessions_) {
        list.push_back(session_entry(key, s));
        if (s.role == "host" && (!host || (s.control && !host->control))) host = &s;
    }
    const char* role = host ? "host" : sessions_.empty() ? "" : "tech";
    state["sesion"] = {
        {"activa", !sessions_.empty()},     {"rol", role},
        {"control", host && host->control}, {"con", host ? host->con : std::string()},
        {"lista", std::move(list)},         {"llamadas", calls_.size()}};
    state["llamada"] = !calls_.empty();
}

} // namespace kelvora::records
