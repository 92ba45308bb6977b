#include "store.hpp"

#include "log.hpp"

#include <sqlite3.h>

#include <ctime>
#include <filesystem>

namespace kv {
namespace {

struct stmt {
    sqlite3_stmt* s = nullptr;
    ~stmt() { sqlite3_finalize(s); }
};

} // namespace

std::unique_ptr<id_store> id_store::open(const std::string& dir, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir + ": " + ec.message();
        return nullptr;
    }
    std::unique_ptr<id_store> s(new id_store);
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
    return s;
}

id_store::~id_store() {
    sqlite3_close(db_);
}

id_store::bind_result id_store::bind(std::string_view id, std::string_view key_hash) {
    std::lock_guard lock(mutex_);
    // INSERT OR IGNORE then SELECT keeps the first writer's key even when two PCs
    // present the same new ID at the same moment.
    stmt ins;
    if (sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO ids(id,key_sha256,created) VALUES(?,?,?)",
                           -1, &ins.s, nullptr) != SQLITE_OK) {
        fail("store.prepare", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    sqlite3_bind_text(ins.s, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(ins.s, 2, key_hash.data(), static_cast<int>(key_hash.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(ins.s, 3, static_cast<sqlite3_int64>(std::time(nullptr)));
    if (sqlite3_step(ins.s) != SQLITE_DONE) {
        fail("store.insert", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    bool inserted = sqlite3_changes(db_) > 0;
    if (inserted) return bind_result::bound;

    stmt sel;
    if (sqlite3_prepare_v2(db_, "SELECT key_sha256 FROM ids WHERE id=?", -1, &sel.s, nullptr) !=
        SQLITE_OK) {
        fail("store.prepare", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    sqlite3_bind_text(sel.s, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(sel.s) != SQLITE_ROW) {
        fail("store.select", sqlite3_errmsg(db_));
        return bind_result::error;
    }
    auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(sel.s, 0));
    if (stored && key_hash == stored) return bind_result::matched;
    return bind_result::taken;
}

} // namespace kv
