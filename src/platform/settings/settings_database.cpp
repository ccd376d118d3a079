#include "platform/settings/settings_database.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>

#include "platform/files/file_system.h"

namespace tallory::platform {

namespace {

// Long enough to ride out another process's write; a registry call never fails for contention.
constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS sections(name TEXT PRIMARY KEY COLLATE NOCASE) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS entries("
    " section TEXT NOT NULL COLLATE NOCASE REFERENCES sections(name) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " kind INTEGER NOT NULL,"
    " value,"
    " PRIMARY KEY(section, name)) WITHOUT ROWID;"
    // A write creates its section in the same statement.
    "CREATE TRIGGER IF NOT EXISTS entries_section BEFORE INSERT ON entries BEGIN"
    " INSERT OR IGNORE INTO sections(name) VALUES (NEW.section); END;";

// A prepared statement finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool prepared() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    void bindText(int i, const std::string& s) { sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
    sqlite3_stmt* get() { return stmt_; }
    int step() { return sqlite3_step(stmt_); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

StoreResult success() { return StoreResult{true, {}}; }

// SQLite's quick check: "" when the file is sound, else the first problem found.
std::string checkIntegrity(sqlite3* db) {
    std::string first;
    auto collect = [](void* out, int columns, char** values, char**) -> int {
        auto* text = static_cast<std::string*>(out);
        if (text->empty() && columns > 0 && values[0] != nullptr) *text = values[0];
        return 0;
    };
    char* message = nullptr;
    int rc = sqlite3_exec(db, "PRAGMA quick_check(1)", collect, &first, &message);
    std::string reason;
    if (rc != SQLITE_OK) {
        reason = message != nullptr ? message : sqlite3_errstr(rc);
    } else if (first != "ok") {
        reason = first.empty() ? "no answer to the integrity check" : first;
    }
    sqlite3_free(message);
    return reason;
}

}  // namespace

std::string defaultSettingsPath() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/Veshna/Tallory/settings.sqlite3";
}

SettingsDatabase::SettingsDatabase(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

SettingsDatabase::~SettingsDatabase() { sqlite3_close_v2(db_); }

std::unique_ptr<SettingsDatabase> SettingsDatabase::open(const std::string& path, std::string& error) {
    std::string dir = directoryOf(path);
    if (!dir.empty() && !createDirectories(dir)) {
        error = "settings store " + path + ": cannot create folder " + dir + ": " + lastSystemError();
        return nullptr;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        error = "settings store " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    // A damaged store is found before anything is written into it: a write
    // would build on damaged pages and lose what could still be recovered.
    if (std::string damage = checkIntegrity(db); !damage.empty()) {
        error = "settings store " + path + ": damaged (" + damage +
                "); it is left as it is: move it away to start with a new one";
        sqlite3_close_v2(db);
        return nullptr;
    }
    // WAL lets readers go on while another process writes; a store that cannot
    // switch (read-only medium) still works in its current mode.
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    char* message = nullptr;
    rc = sqlite3_exec(db, "PRAGMA foreign_keys=ON;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = "settings store " + path + ": " + (message != nullptr ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        sqlite3_close_v2(db);
        return nullptr;
    }
    return std::unique_ptr<SettingsDatabase>(new SettingsDatabase(db, path));
}

StoreResult SettingsDatabase::failure(const char* what) {
    return StoreResult{false, "settings store " + path_ + ": " + what + ": " + sqlite3_errmsg(db_)};
}

StoreResult SettingsDatabase::createSection(const std::string& section) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "INSERT OR IGNORE INTO sections(name) VALUES (?1)");
    if (!st.prepared()) return failure("cannot create section");
    st.bindText(1, section);
    if (st.step() != SQLITE_DONE) return failure("cannot create section");
    return success();
}

StoreResult SettingsDatabase::read(const std::string& section, const std::string& name, StoredValue& out) {
    if (StoreResult created = createSection(section); !created) return created;
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "SELECT kind, value FROM entries WHERE section = ?1 AND name = ?2");
    if (!st.prepared()) return failure("cannot read");
    st.bindText(1, section);
    st.bindText(2, name);
    int rc = st.step();
    if (rc == SQLITE_DONE) return StoreResult{false, "settings store " + path_ + ": no value \"" + name + "\" in section \"" + section + "\""};
    if (rc != SQLITE_ROW) return failure("cannot read");
    int kind = sqlite3_column_int(st.get(), 0);
    out.bytes.clear();
    if (kind == static_cast<int>(ValueKind::Int)) {
        out.kind = ValueKind::Int;
        uint32_t v = static_cast<uint32_t>(sqlite3_column_int64(st.get(), 1));
        for (int i = 0; i < 4; ++i) out.bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    } else {
        out.kind = kind == static_cast<int>(ValueKind::String) ? ValueKind::String : ValueKind::Binary;
        const void* blob = sqlite3_column_blob(st.get(), 1);
        int size = sqlite3_column_bytes(st.get(), 1);
        if (blob != nullptr && size > 0) {
            const uint8_t* p = static_cast<const uint8_t*>(blob);
            out.bytes.assign(p, p + size);
        }
        if (out.kind == ValueKind::String) out.bytes.push_back(0);
    }
    return success();
}

StoreResult SettingsDatabase::write(const std::string& section, const std::string& name, ValueKind kind,
                                    const void* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_,
                 "INSERT INTO entries(section, name, kind, value) VALUES (?1, ?2, ?3, ?4)"
                 " ON CONFLICT(section, name) DO UPDATE SET kind = excluded.kind, value = excluded.value");
    if (!st.prepared()) return failure("cannot write");
    st.bindText(1, section);
    st.bindText(2, name);
    sqlite3_bind_int(st.get(), 3, static_cast<int>(kind));
    // Ints and strings are stored as SQLite integers and text, so the file stays readable with sqlite3.
    switch (kind) {
        case ValueKind::Int: {
            int32_t v = 0;
            std::memcpy(&v, data, sizeof v);
            sqlite3_bind_int(st.get(), 4, v);
            break;
        }
        case ValueKind::String:
            sqlite3_bind_text(st.get(), 4, static_cast<const char*>(data), static_cast<int>(size), SQLITE_TRANSIENT);
            break;
        case ValueKind::Binary:
            sqlite3_bind_blob(st.get(), 4, size > 0 ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
            break;
    }
    if (st.step() != SQLITE_DONE) return failure("cannot write");
    return success();
}

StoreResult SettingsDatabase::removeValue(const std::string& section, const std::string& name) {
    if (StoreResult created = createSection(section); !created) return created;
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "DELETE FROM entries WHERE section = ?1 AND name = ?2");
    if (!st.prepared()) return failure("cannot delete");
    st.bindText(1, section);
    st.bindText(2, name);
    if (st.step() != SQLITE_DONE) return failure("cannot delete");
    if (sqlite3_changes(db_) == 0) return StoreResult{false, "settings store " + path_ + ": no value \"" + name + "\" in section \"" + section + "\""};
    return success();
}

StoreResult SettingsDatabase::removeSection(const std::string& section) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement st(db_, "DELETE FROM sections WHERE name = ?1");
    if (!st.prepared()) return failure("cannot delete section");
    st.bindText(1, section);
    if (st.step() != SQLITE_DONE) return failure("cannot delete section");
    if (sqlite3_changes(db_) == 0) return StoreResult{false, "settings store " + path_ + ": no section \"" + section + "\""};
    return success();
}

}  // namespace tallory::platform
