#pragma once
// The sessions and calls open right now, in memory only. Every change returns what must
// happen because of it, so that the caller can do the slow parts (files, the desktop)
// after the registry's lock is released.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/json_file.hpp"

namespace kelvora::records {

// One /api/sesion report from the web client.
struct SessionReport {
    std::string key;
    bool active = false;
    std::string role;
    bool control = false;
    std::string con;
    std::string id;
};
SessionReport session_report(const json& body);

struct Session {
    std::string role; // "host" or "tech"
    std::string con;
    std::string id;
    bool control = false;
    std::int64_t started = 0; // seconds since 1970 UTC
};

struct EndedSession {
    Session session;
    std::int64_t seconds = 0;
};

struct RegistryChange {
    std::vector<std::string> log; // lines for the log, in order
    std::vector<EndedSession> ended;
    bool release_input = false;   // control was withdrawn from a host session
    bool last_host_ended = false; // no host session is left after one ended
};

// The key a call registers under: k, else tipo, else "grupo".
std::string call_key(const json& body);

class SessionRegistry {
public:
    using Clock = std::function<std::int64_t()>;
    explicit SessionRegistry(Clock now);

    RegistryChange report(const SessionReport& r);
    // Ends every session and call, as the program does when it closes.
    RegistryChange end_all();
    // A call starts or ends; the log line when there is one to write.
    std::optional<std::string> report_call(const std::string& key, bool active,
                                           const std::string& con);

    bool control_granted() const;
    bool busy() const;
    // The state record's "sesion" and "llamada", read in one step.
    void add_state_fields(json& state) const;

private:
    RegistryChange start_or_update(const SessionReport& r);
    RegistryChange end(const std::string& key);
    void end_locked(std::map<std::string, Session>::iterator it, RegistryChange& change);
    bool any_host_locked() const;

    Clock now_;
    mutable std::mutex mutex_; // guards both tables
    std::map<std::string, Session> sessions_;
    std::map<std::string, std::string> calls_; // key -> the other side's name
};

// Seconds since 1970 UTC by the system clock.
std::int64_t system_seconds();

} // namespace kelvora::records
