#include "sqlite_store.hpp"

#include "log.hpp"

#include <sqlite3.h>

#include <ctime>
#include <filesystem>

namespace kv {
namespace {

// One prepared statement, finalized on every path.
struct stmt {
    sqlite3_stmt* s = nullptr;
    stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            fail("store.prepare", sqlite3_errmsg(db));
            s = nullptr;
        }
    }
    ~stmt() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
    stmt& text(int i, std::string_view v) {
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    stmt& integer(int i, long long v) {
        sqlite3_bind_int64(s, i, static_cast<sqlite3_int64>(v));
        return *this;
    }
};

long long now_s() {
    return static_cast<long long>(std::time(nullptr));
}

} // namespace

sqlite_store::sqlite_store(const config& cfg)
    : expiry_s_(cfg.id_expiry_days * 86400),
      lockout_(cfg.lock_per_id, cfg.lock_per_addr, cfg.lock_window_s, cfg.lock_duration_s),
      open_source_(cfg.open_per_source / 60, cfg.open_burst_source),
      open_pair_(cfg.open_per_pair / 60, cfg.open_burst_pair),
      open_target_(cfg.open_per_target / 60, cfg.open_burst_target),
      binds_(cfg.binds_per_hour / 3600.0, cfg.binds_per_hour) {}

std::unique_ptr<sqlite_store> sqlite_store::open(const config& cfg, std::string& error) {
    const std::string& dir = cfg.data_dir;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir + ": " + ec.message();
        return nullptr;
    }
    std::unique_ptr<sqlite_store> s(new sqlite_store(cfg));
    std::string path = (std::filesystem::path(dir) / "ids.sqlite3").string();
    if (sqlite3_open_v2(path.c_str(), &s->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " + (s->db_ ? sqlite3_errmsg(s->db_) : "no memory");
        return nullptr;
    }
    sqlite3_busy_timeout(s->db_, 5000);
    // WAL with NORMAL sync: a committed binding survives a crash of this process; only a
    // power loss can lose the very latest bindings, whose PCs simply bind again.
    const char* schema = "PRAGMA journal_mode=WAL;"
                         "PRAGMA synchronous=NORMAL;"
                         "CREATE TABLE IF NOT EXISTS ids ("
                         " id TEXT PRIMARY KEY,"
                         " key_sha256 TEXT NOT NULL,"
                         " created INTEGER NOT NULL);"
                         "CREATE TABLE IF NOT EXISTS room_hosts ("
                         " code TEXT PRIMARY KEY,"
                         " token_sha256 TEXT NOT NULL,"
                         " until INTEGER NOT NULL);";
    char* msg = nullptr;
    if (sqlite3_exec(s->db_, schema, nullptr, nullptr, &msg) != SQLITE_OK) {
        error = "cannot prepare " + path + ": " + (msg ? msg : "?");
        sqlite3_free(msg);
        return nullptr;
    }
    // Databases from before expiry had no last-seen time: their bindings count as seen
    // when they were made.
    {
        stmt probe(s->db_, "SELECT 1 FROM pragma_table_info('ids') WHERE name='last_seen'");
        bool has = probe && sqlite3_step(probe.s) == SQLITE_ROW;
        if (!has && sqlite3_exec(s->db_,
                                 "ALTER TABLE ids ADD COLUMN last_seen INTEGER;"
                                 "UPDATE ids SET last_seen=created;",
                                 nullptr, nullptr, &msg) != SQLITE_OK) {
            error = "cannot upgrade " + path + ": " + (msg ? msg : "?");
            sqlite3_free(msg);
            return nullptr;
        }
    }
    return s;
}

sqlite_store::~sqlite_store() {
    sqlite3_close(db_);
}

long long sqlite_store::cutoff() const {
    return expiry_s_ > 0 ? now_s() - static_cast<long long>(expiry_s_) : -1;
}

void sqlite_store::bind(const std::string& id, const std::string& key_hash,
                        const std::string& source, std::function<void(bind_result)> done) {
    bind_result r = bind_result::error;
    {
        std::lock_guard lock(mutex_);
        r = bind_locked(id, key_hash, source);
    }
    done(r);
}

store::bind_result sqlite_store::bind_locked(std::string_view id, std::string_view key_hash,
                                             const std::string& source) {
    stmt sel(db_, "SELECT key_sha256, last_seen FROM ids WHERE id=?");
    if (!sel) return bind_result::error;
    sel.text(1, id);
    int rc = sqlite3_step(sel.s);
    if (rc == SQLITE_ROW) {
        auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(sel.s, 0));
        long long seen = sqlite3_column_int64(sel.s, 1);
        bool expired = seen < cutoff();
        if (stored && key_hash == stored) {
            // A PC reconnects many times a day: one write an hour is enough for expiry.
            if (now_s() - seen > 3600) {
                stmt up(db_, "UPDATE ids SET last_seen=? WHERE id=?");
                if (up && sqlite3_step(up.integer(1, now_s()).text(2, id).s) != SQLITE_DONE)
                    fail("store.update", sqlite3_errmsg(db_));
            }
            return bind_result::matched;
        }
        if (!expired) return bind_result::taken;
    } else if (rc != SQLITE_DONE) {
        fail("store.select", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    if (!binds_.take(source, steady::now())) return bind_result::limited;
    // REPLACE takes over an expired row. A row that is still valid never gets here: it
    // was answered above, and only --revoke (which deletes) writes besides this process.
    stmt ins(db_, "INSERT OR REPLACE INTO ids(id,key_sha256,created,last_seen) VALUES(?,?,?,?)");
    if (!ins) return bind_result::error;
    ins.text(1, id).text(2, key_hash).integer(3, now_s()).integer(4, now_s());
    if (sqlite3_step(ins.s) != SQLITE_DONE) {
        fail("store.insert", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    return bind_result::bound;
}

void sqlite_store::holds(const std::string& id, const std::string& key_hash,
                         std::function<void(held)> done) {
    held answer = held::unknown;
    {
        std::lock_guard lock(mutex_);
        stmt sel(db_, "SELECT 1 FROM ids WHERE id=? AND key_sha256=? AND last_seen>=?");
        if (sel) {
            sel.text(1, id).text(2, key_hash).integer(3, cutoff());
            const int rc = sqlite3_step(sel.s);
            if (rc == SQLITE_ROW) answer = held::yes;
            else if (rc == SQLITE_DONE) answer = held::no;
            else fail("store.holds", sqlite3_errmsg(db_));
        }
    }
    done(answer);
}

void sqlite_store::touch(const std::vector<std::string>& ids) {
    if (ids.empty()) return;
    std::lock_guard lock(mutex_);
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    stmt up(db_, "UPDATE ids SET last_seen=? WHERE id=?");
    for (const auto& id : ids) {
        if (!up) break;
        sqlite3_reset(up.s);
        if (sqlite3_step(up.integer(1, now_s()).text(2, id).s) != SQLITE_DONE) {
            fail("store.touch", sqlite3_errmsg(db_));
            break;
        }
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("store.touch", sqlite3_errmsg(db_));
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

bool sqlite_store::revoke(std::string_view id, bool& found, std::string& error) {
    std::lock_guard lock(mutex_);
    stmt del(db_, "DELETE FROM ids WHERE id=?");
    if (!del || sqlite3_step(del.text(1, id).s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    found = sqlite3_changes(db_) > 0;
    return true;
}

bool sqlite_store::usable() {
    std::lock_guard lock(mutex_);
    // BEGIN IMMEDIATE takes the write lock: it fails on a read-only, full or locked
    // database, which is what a PC registering for the first time would run into.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    stmt sel(db_, "SELECT count(*) FROM (SELECT 1 FROM ids LIMIT 1)");
    bool ok = sel && sqlite3_step(sel.s) == SQLITE_ROW;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok;
}

void sqlite_store::may_open(const std::string& source, const std::string& target,
                            std::function<void(std::string)> done) {
    auto now = steady::now();
    std::string why;
    if (!open_source_.take(source, now))
        why = "open rate";
    else if (!open_pair_.take(source + "|" + target, now))
        why = "pair rate";
    else if (!open_target_.take(target, now))
        why = "target rate";
    done(std::move(why));
}

void sqlite_store::locked(const std::string& id, const std::string& source,
                          std::function<void(std::optional<double>)> done) {
    std::optional<double> left;
    {
        std::lock_guard lock(mutex_);
        left = lockout_.locked(id, source, steady::now());
    }
    done(left);
}

void sqlite_store::failure(const std::string& id, const std::string& source,
                           std::function<void(std::optional<double>)> done) {
    std::optional<double> started;
    {
        std::lock_guard lock(mutex_);
        started = lockout_.failure(id, source, steady::now());
    }
    done(started);
}

void sqlite_store::set_room_host(const std::string& code, const std::string& token_hash,
                                 double keep_s) {
    std::lock_guard lock(mutex_);
    if (token_hash.empty()) {
        stmt del(db_, "DELETE FROM room_hosts WHERE code=?");
        if (del && sqlite3_step(del.text(1, code).s) != SQLITE_DONE)
            fail("store.room", sqlite3_errmsg(db_));
        return;
    }
    // Rows of rooms nobody came back to go with the next write.
    stmt old(db_, "DELETE FROM room_hosts WHERE until<?");
    if (old) sqlite3_step(old.integer(1, now_s()).s);
    stmt up(db_, "INSERT OR REPLACE INTO room_hosts(code,token_sha256,until) VALUES(?,?,?)");
    if (up && sqlite3_step(up.text(1, code)
                               .text(2, token_hash)
                               .integer(3, now_s() + static_cast<long long>(keep_s))
                               .s) != SQLITE_DONE)
        fail("store.room", sqlite3_errmsg(db_));
}

void sqlite_store::room_host(const std::string& code, std::function<void(std::string)> done) {
    std::string hash;
    {
        std::lock_guard lock(mutex_);
        stmt sel(db_, "SELECT token_sha256 FROM room_hosts WHERE code=? AND until>=?");
        if (sel && sqlite3_step(sel.text(1, code).integer(2, now_s()).s) == SQLITE_ROW)
            if (auto* t = reinterpret_cast<const char*>(sqlite3_column_text(sel.s, 0))) hash = t;
    }
    done(std::move(hash));
}

} // namespace kv
