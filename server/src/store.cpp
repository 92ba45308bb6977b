#include "store.hpp"

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

std::unique_ptr<id_store> id_store::open(const std::string& dir, double expiry_days,
                                         std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir + ": " + ec.message();
        return nullptr;
    }
    std::unique_ptr<id_store> s(new id_store);
    s->expiry_s_ = expiry_days * 86400;
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
                         " created INTEGER NOT NULL);";
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

id_store::~id_store() {
    sqlite3_close(db_);
}

long long id_store::cutoff() const {
    return expiry_s_ > 0 ? now_s() - static_cast<long long>(expiry_s_) : -1;
}

id_store::bind_result id_store::bind(std::string_view id, std::string_view key_hash,
                                     const std::function<bool()>& may_bind_new) {
    std::lock_guard lock(mutex_);
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
    if (!may_bind_new()) return bind_result::limited;
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

bool id_store::holds(std::string_view id, std::string_view key_hash) {
    std::lock_guard lock(mutex_);
    stmt sel(db_, "SELECT 1 FROM ids WHERE id=? AND key_sha256=? AND last_seen>=?");
    if (!sel) return false;
    sel.text(1, id).text(2, key_hash).integer(3, cutoff());
    return sqlite3_step(sel.s) == SQLITE_ROW;
}

void id_store::touch(const std::vector<std::string>& ids) {
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

bool id_store::revoke(std::string_view id, bool& found, std::string& error) {
    std::lock_guard lock(mutex_);
    stmt del(db_, "DELETE FROM ids WHERE id=?");
    if (!del || sqlite3_step(del.text(1, id).s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    found = sqlite3_changes(db_) > 0;
    return true;
}

bool id_store::usable() {
    std::lock_guard lock(mutex_);
    // BEGIN IMMEDIATE takes the write lock: it fails on a read-only, full or locked
    // database, which is what a PC registering for the first time would run into.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    stmt sel(db_, "SELECT count(*) FROM (SELECT 1 FROM ids LIMIT 1)");
    bool ok = sel && sqlite3_step(sel.s) == SQLITE_ROW;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok;
}

} // namespace kv
