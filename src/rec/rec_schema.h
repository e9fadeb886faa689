// The recording's tables and keys as Writer creates them and Reader expects
// them (docs/recording-format.md says what each column means), and the small
// statement owner both use.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace kavri::rec::schema {

// One transaction creates all of it. No STRICT tables: SQLite before 3.37
// (still common in language runtimes) refuses to read those at all; the
// reader checks every value's type instead.
inline constexpr char kCreateSql[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY NOT NULL, value);"
    "CREATE TABLE files(name TEXT NOT NULL, role TEXT NOT NULL, data BLOB NOT NULL);"
    "CREATE TABLE params(id INTEGER PRIMARY KEY, item BLOB NOT NULL);"
    "CREATE TABLE regs(target INTEGER NOT NULL, addr INTEGER NOT NULL, value INTEGER NOT NULL,"
    " PRIMARY KEY(target, addr));"
    "CREATE TABLE transfers(seq INTEGER PRIMARY KEY, t_ns INTEGER NOT NULL,"
    " code INTEGER NOT NULL, frames INTEGER NOT NULL, boundary INTEGER NOT NULL,"
    " data BLOB NOT NULL);"
    "CREATE TABLE events(t_ns INTEGER NOT NULL, transfer INTEGER NOT NULL,"
    " frames_fetched INTEGER NOT NULL, kind INTEGER NOT NULL, id INTEGER NOT NULL,"
    " addr INTEGER NOT NULL, value BLOB NOT NULL);"
    "CREATE TABLE frames(idx INTEGER PRIMARY KEY, transfer INTEGER NOT NULL,"
    " t_ns INTEGER NOT NULL);";

// Every table with the columns the reader reads (more columns are allowed:
// a later writer of the same version may add some).
struct Table {
    const char *name;
    const char *columns[7];  // nullptr-terminated
};
inline constexpr Table kTables[] = {
    {"meta", {"key", "value", nullptr}},
    {"files", {"name", "role", "data", nullptr}},
    {"params", {"id", "item", nullptr}},
    {"regs", {"target", "addr", "value", nullptr}},
    {"transfers", {"seq", "t_ns", "code", "frames", "boundary", "data", nullptr}},
    {"events", {"t_ns", "transfer", "frames_fetched", "kind", "id", "addr", "value"}},
    {"frames", {"idx", "transfer", "t_ns", nullptr}},
};

// meta keys.
inline constexpr char kKeyFormat[] = "format";
inline constexpr char kKeyVersion[] = "version";
inline constexpr char kKeyProduct[] = "product";
inline constexpr char kKeyIdent[] = "ident";
inline constexpr char kKeyUid[] = "uid";
inline constexpr const char *kKeyVersions[4] = {"version_hw", "version_sw", "version_bt",
                                                "version_4th"};
inline constexpr char kKeyIfType[] = "if_type";
inline constexpr char kKeyIfInfo[] = "if_info";
inline constexpr char kKeyLocated[] = "located";
inline constexpr char kKeyLibraryVersion[] = "library_version";
inline constexpr char kKeyWallStart[] = "wall_start_us";
inline constexpr char kKeyMonotonicStart[] = "monotonic_start_ns";
inline constexpr char kKeyFinished[] = "finished";
inline constexpr char kKeyLostTransfers[] = "lost_transfers";
inline constexpr char kKeyLostBytes[] = "lost_bytes";
inline constexpr char kKeyWriteErrors[] = "write_errors";

// Bounds of the small tables beyond those in rec_file.h.
inline constexpr uint32_t kMaxMetaRows = 1024;
inline constexpr uint32_t kMaxFiles = 64;  // their bytes together stay within kMaxBlobBytes

// The stored file roles.
inline constexpr char kRoleCalibration[] = "calibration";
inline constexpr char kRoleLens[] = "lens";

// A stored file's name becomes a file in the replay's own folder: no folder
// part, no way out of it.
inline bool plain_file_name(const std::string &n) {
    return !n.empty() && n != "." && n != ".." &&
           n.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// A prepared statement that finalizes itself.
class Stmt {
  public:
    Stmt() = default;
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    int prepare(sqlite3 *db, const char *sql) {
        sqlite3_finalize(s_);
        s_ = nullptr;
        return sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
    }
    sqlite3_stmt *get() const { return s_; }

  private:
    sqlite3_stmt *s_ = nullptr;
};

}  // namespace kavri::rec::schema
