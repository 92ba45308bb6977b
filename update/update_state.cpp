#include "update/update_state.hpp"

#include <chrono>

#include "base/version.hpp"
#include "update/manifest.hpp"
#include "update/update_key.hpp"

namespace kelvora::update {

namespace {

bool busy_phase(const std::string& p) {
    return p == "checking" || p == "downloading" || p == "verifying" || p == "waiting" ||
           p == "installing";
}

json member_or_null(const json& obj, const char* name) {
    auto it = obj.find(name);
    return it == obj.end() ? json() : *it;
}

} // namespace

Trust release_trust() {
    return {kVersion, kUpdatePublicKey};
}

std::uint64_t now_seconds() {
    const auto t = std::chrono::system_clock::now().time_since_epoch();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(t).count();
    return s < 0 ? 0 : static_cast<std::uint64_t>(s);
}

UpdateState::UpdateState(std::filesystem::path data_dir, Trust trust)
    : dir_(std::move(data_dir)), trust_(std::move(trust)) {}

bool UpdateState::busy() const {
    std::lock_guard lock(mutex_);
    return busy_phase(phase_);
}

bool UpdateState::begin(const std::string& phase, const std::string& msg) {
    std::lock_guard lock(mutex_);
    if (busy_phase(phase_)) return false;
    phase_ = phase;
    pct_ = 0;
    msg_ = msg;
    return true;
}

void UpdateState::set_phase(const std::string& phase, int pct, const std::string& msg) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
    pct_ = pct;
    msg_ = msg;
}

void UpdateState::set_latest(const json& manifest) {
    std::lock_guard lock(mutex_);
    latest_ = manifest;
}

std::optional<json> UpdateState::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

json UpdateState::record() const {
    auto r = load_json_file_in(dir_, "actualizacion.json");
    return r && r->is_object() ? *r : json::object();
}

void UpdateState::set_record(const std::string& member, const json& value) const {
    set_records({{member, value}});
}

void UpdateState::set_records(const json& members) const {
    json r = record();
    for (const auto& [member, value] : members.items()) r[member] = value;
    save_json_file_in(dir_, "actualizacion.json", r);
}

bool UpdateState::available() const {
    const auto l = latest();
    if (!l) return false;
    const json v = l->value("version", json());
    return v.is_string() && newer_version(v.get<std::string>(), trust_.version);
}

json UpdateState::status(bool auto_check, const std::string& channel, bool can_install) const {
    std::string phase, msg;
    int pct;
    std::optional<json> latest;
    {
        std::lock_guard lock(mutex_);
        phase = phase_;
        pct = pct_;
        msg = msg_;
        latest = latest_;
    }
    const json rec = record();
    json last_check = member_or_null(rec, "last_check");
    if (!last_check.is_number_unsigned()) last_check = nullptr;
    json page = std::string(kProductSite) + "kelvora/";
    if (latest && latest->contains("page") && (*latest)["page"].is_string())
        page = (*latest)["page"];
    return {
        {"current", trust_.version},
        {"phase", phase},
        {"pct", pct},
        {"msg", msg},
        {"auto", auto_check},
        {"last_check", last_check},
        {"available", available()},
        {"latest", latest ? *latest : json()},
        {"dismissed", member_or_null(rec, "dismissed")},
        {"can_install", can_install},
        {"portable", true},
        {"waiting", phase == "waiting"},
        {"result", member_or_null(rec, "result")},
        {"page", page},
        {"canal", channel},
    };
}

} // namespace kelvora::update
