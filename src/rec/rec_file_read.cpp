// Reader: a recording file of unknown origin opened and checked. SQLite
// finds damage in the file's pages; this code finds damage in the values:
// every one is checked for its type and range before it is used, every size
// before bytes are copied, and every table is read only up to its bound, so
// a hostile file costs at most what the kMax* constants allow.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "rec/rec_file.h"
#include "rec/rec_schema.h"

namespace kavri::rec {

namespace {

using schema::Stmt;

static_assert(sizeof(kavri_ll_param_item_t) == 20, "the stored parameter item is 20 bytes");

constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int kBusyTimeoutMs = 1000;
// Bytes 18 and 19 of an SQLite file: 2 in WAL mode, 1 with a rollback journal.
constexpr size_t kHeaderWriteVersion = 18, kHeaderReadVersion = 19;
constexpr uint8_t kHeaderWal = 2, kHeaderRollback = 1;

// The settings SQLite recommends for database files from untrusted sources.
void harden(sqlite3 *db) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxBlobBytes));
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // A read-write fallback connection must not fold the WAL into the file.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_exec(db, "PRAGMA cell_size_check=ON; PRAGMA query_only=ON; PRAGMA mmap_size=0", nullptr,
                 nullptr, nullptr);
}

// Reads page 1 and the schema: the first access that can fail because the
// file is no database or its -wal/-shm cannot be opened.
int probe(sqlite3 *db) {
    Stmt s;
    int rc = s.prepare(db, "SELECT count(*) FROM main.sqlite_master");
    if (rc == SQLITE_OK) rc = sqlite3_step(s.get());
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// One row's values, checked as they are taken. The first failure is kept
// with the row it was found in.
class Row {
  public:
    Row(sqlite3_stmt *s, std::string &err, const std::string &where)
        : s_(s), err_(err), where_(where) {}

    bool integer(int col, int64_t lo, int64_t hi, int64_t &out) const {
        if (sqlite3_column_type(s_, col) != SQLITE_INTEGER) return bad(col, "is not an integer");
        out = sqlite3_column_int64(s_, col);
        return (out >= lo && out <= hi) || bad(col, "is out of range");
    }
    template <typename T>
    bool integer(int col, T &out) const {
        int64_t v = 0;
        constexpr int64_t lo = std::numeric_limits<T>::min();
        constexpr int64_t hi = static_cast<int64_t>(
            std::min<uint64_t>(std::numeric_limits<T>::max(), static_cast<uint64_t>(kI64Max)));
        if (!integer(col, lo, hi, v)) return false;
        out = static_cast<T>(v);
        return true;
    }
    bool text(int col, std::string &out) const {
        if (sqlite3_column_type(s_, col) != SQLITE_TEXT) return bad(col, "is not text");
        const auto *p = sqlite3_column_text(s_, col);
        const int n = sqlite3_column_bytes(s_, col);
        if (n < 0 || static_cast<uint32_t>(n) > kMaxTextBytes) return bad(col, "is too long");
        out.assign(reinterpret_cast<const char *>(p), static_cast<size_t>(n));
        return true;
    }
    // A blob of at most max bytes (exactly max when exact).
    bool blob(int col, size_t max, bool exact, const uint8_t *&p, size_t &n) const {
        if (sqlite3_column_type(s_, col) != SQLITE_BLOB) return bad(col, "is not a blob");
        p = static_cast<const uint8_t *>(sqlite3_column_blob(s_, col));
        const int len = sqlite3_column_bytes(s_, col);
        if (len < 0 || static_cast<size_t>(len) > max || (exact && static_cast<size_t>(len) != max))
            return bad(col, "has the wrong size");
        n = static_cast<size_t>(len);
        return n == 0 || p != nullptr || bad(col, "cannot be read");
    }
    bool bytes(int col, size_t max, std::vector<uint8_t> &out) const {
        const uint8_t *p = nullptr;
        size_t n = 0;
        if (!blob(col, max, false, p, n)) return false;
        out.assign(p, p + n);
        return true;
    }

  private:
    bool bad(int col, const char *what) const {
        const char *name = sqlite3_column_name(s_, col);
        err_ = "recording damaged: " + where_ + ": " + (name ? name : "?") + " " + what;
        return false;
    }

    sqlite3_stmt *s_;
    std::string &err_;
    const std::string &where_;
};

// The meta values the reader knows, each with its type.
struct MetaValue {
    int type = SQLITE_NULL;
    int64_t i = 0;
    std::string bytes;  // text or blob
};

}  // namespace

Reader::~Reader() {
    close();
}

void Reader::close() {
    sqlite3_finalize(read_stmt_);
    read_stmt_ = nullptr;
    sqlite3_close_v2(db_);
    db_ = nullptr;
    version_ = 0;
    finished_ = false;
    identity_ = Identity{};
    files_.clear();
    params_.clear();
    regs_.clear();
    events_.clear();
    frames_.clear();
    summary_ = Summary{};
    transfer_count_ = byte_count_ = 0;
    duration_ns_ = 0;
}

bool Reader::open(const std::string &path) {
    close();
    error_.clear();
    // Read-only first. A killed writer may leave a journal to roll back, and
    // a WAL file (of another writer) needs its -shm index; where SQLite
    // cannot do that read-only the file is opened read-write instead, which
    // only rolls the cut batch back or recovers the index (no statement
    // writes, query_only is on and nothing is checkpointed).
    for (const int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
        int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (rc == SQLITE_OK) {
            harden(db_);
            rc = probe(db_);
        }
        if (rc == SQLITE_OK) {
            if (load()) return true;
            close();
            return false;
        }
        const int primary = rc & 0xff;
        const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        if (primary == SQLITE_NOTADB) {
            error_ = "recording: " + path + " is not a recording (" + why + ")";
            return false;
        }
        if (primary == SQLITE_CORRUPT) {
            error_ = "recording damaged: " + path + ": " + why;
            return false;
        }
        error_ = "recording: cannot open " + path + ": " + why;
        if (flags == SQLITE_OPEN_READWRITE ||
            (primary != SQLITE_CANTOPEN && primary != SQLITE_READONLY))
            return false;
    }
    return false;
}

bool Reader::open_image(std::span<const uint8_t> image) {
    close();
    error_.clear();
    if (image.empty()) {
        error_ = "recording: an empty image is not a recording";
        return false;
    }
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        error_ = "recording: cannot open an in-memory database";
        close();
        return false;
    }
    harden(db_);
    auto *copy = static_cast<uint8_t *>(sqlite3_malloc64(image.size()));
    if (copy == nullptr) {
        error_ = "recording: out of memory for the image";
        close();
        return false;
    }
    std::memcpy(copy, image.data(), image.size());
    // The in-memory file cannot have a WAL; an image of a WAL-mode file is
    // complete without one (its -wal was not copied), so it is read as a
    // file with a rollback journal.
    if (image.size() > kHeaderReadVersion && copy[kHeaderWriteVersion] == kHeaderWal &&
        copy[kHeaderReadVersion] == kHeaderWal)
        copy[kHeaderWriteVersion] = copy[kHeaderReadVersion] = kHeaderRollback;
    // On failure SQLite frees the copy itself.
    int rc = sqlite3_deserialize(db_, "main", copy, static_cast<sqlite3_int64>(image.size()),
                                 static_cast<sqlite3_int64>(image.size()),
                                 SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY);
    if (rc == SQLITE_OK) rc = probe(db_);
    if (rc != SQLITE_OK) {
        error_ =
            std::string("recording: the image is not a recording (") + sqlite3_errmsg(db_) + ")";
        close();
        return false;
    }
    if (load()) return true;
    close();
    return false;
}

bool Reader::load() {
    // Any SQLite failure while stepping: the table it was reading is damaged.
    auto step_failed = [&](const char *table) {
        error_ = std::string("recording damaged: reading ") + table + ": " + sqlite3_errmsg(db_);
        return false;
    };
    auto prepare = [&](Stmt &s, const char *sql, const char *table) {
        if (s.prepare(db_, sql) == SQLITE_OK) return true;
        error_ = std::string("recording damaged: table ") + table + ": " + sqlite3_errmsg(db_);
        return false;
    };

    // Plain tables with the columns read: a view or a generated column could
    // make a query run without end or compute values of any size.
    {
        Stmt tab, cols;
        if (!prepare(tab, "SELECT type, sql FROM main.sqlite_master WHERE name = ?1 COLLATE NOCASE",
                     "sqlite_master") ||
            !prepare(cols, "SELECT name, hidden FROM pragma_table_xinfo(?1, 'main')",
                     "sqlite_master"))
            return false;
        for (const schema::Table &t : schema::kTables) {
            sqlite3_reset(tab.get());
            sqlite3_bind_text(tab.get(), 1, t.name, -1, SQLITE_STATIC);
            int rc = sqlite3_step(tab.get());
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return step_failed("sqlite_master");
            if (rc == SQLITE_DONE) {
                error_ = std::string("recording damaged: no table ") + t.name;
                return false;
            }
            const auto *type = sqlite3_column_text(tab.get(), 0);
            const auto *sql = sqlite3_column_text(tab.get(), 1);
            if (type == nullptr || sql == nullptr ||
                std::strcmp(reinterpret_cast<const char *>(type), "table") != 0 ||
                sqlite3_strnicmp(reinterpret_cast<const char *>(sql), "CREATE TABLE", 12) != 0) {
                error_ = std::string("recording damaged: ") + t.name + " is not a plain table";
                return false;
            }
            for (const char *const *col = t.columns; col != std::end(t.columns) && *col; ++col) {
                sqlite3_reset(cols.get());
                sqlite3_bind_text(cols.get(), 1, t.name, -1, SQLITE_STATIC);
                bool found = false;
                while ((rc = sqlite3_step(cols.get())) == SQLITE_ROW) {
                    const auto *name = sqlite3_column_text(cols.get(), 0);
                    if (name && sqlite3_stricmp(reinterpret_cast<const char *>(name), *col) == 0)
                        found = sqlite3_column_int64(cols.get(), 1) == 0;
                }
                if (rc != SQLITE_DONE) return step_failed("sqlite_master");
                if (!found) {
                    error_ = std::string("recording damaged: table ") + t.name +
                             " has no plain column " + *col;
                    return false;
                }
            }
        }
    }

    // meta: known keys kept, others (a later writer's additions) skipped.
    std::map<std::string, MetaValue> meta;
    {
        static const char *const known[] = {
            schema::kKeyFormat,         schema::kKeyVersion,     schema::kKeyProduct,
            schema::kKeyIdent,          schema::kKeyUid,         schema::kKeyVersions[0],
            schema::kKeyVersions[1],    schema::kKeyVersions[2], schema::kKeyVersions[3],
            schema::kKeyIfType,         schema::kKeyIfInfo,      schema::kKeyLocated,
            schema::kKeyLibraryVersion, schema::kKeyWallStart,   schema::kKeyFinished,
            schema::kKeyLostTransfers,  schema::kKeyLostBytes,   schema::kKeyWriteErrors,
            schema::kKeyMonotonicStart};
        Stmt s;
        if (!prepare(s, "SELECT key, value FROM main.meta LIMIT ?1", "meta")) return false;
        sqlite3_bind_int64(s.get(), 1, int64_t{schema::kMaxMetaRows} + 1);
        const std::string where = "meta";
        const Row row(s.get(), error_, where);
        uint32_t rows = 0;
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (++rows > schema::kMaxMetaRows) {
                error_ = "recording damaged: meta has too many rows";
                return false;
            }
            std::string key;
            if (!row.text(0, key)) return false;
            if (std::none_of(std::begin(known), std::end(known),
                             [&](const char *k) { return key == k; }))
                continue;
            MetaValue v;
            v.type = sqlite3_column_type(s.get(), 1);
            if (v.type == SQLITE_INTEGER) {
                v.i = sqlite3_column_int64(s.get(), 1);
            } else if (v.type == SQLITE_TEXT || v.type == SQLITE_BLOB) {
                const void *p = v.type == SQLITE_TEXT
                                    ? static_cast<const void *>(sqlite3_column_text(s.get(), 1))
                                    : sqlite3_column_blob(s.get(), 1);
                const int n = sqlite3_column_bytes(s.get(), 1);
                if (n < 0 || static_cast<uint32_t>(n) > kMaxTextBytes || (n > 0 && !p)) {
                    error_ = "recording damaged: meta " + key + " is too long";
                    return false;
                }
                v.bytes.assign(static_cast<const char *>(p), static_cast<size_t>(n));
            }
            meta[key] = std::move(v);
        }
        if (rc != SQLITE_DONE) return step_failed("meta");
    }
    auto missing = [&](const char *key) {
        error_ =
            std::string("recording damaged: meta ") + key + " is missing or has the wrong type";
        return false;
    };
    auto get_int = [&](const char *key, int64_t lo, int64_t hi, int64_t &out) {
        const auto it = meta.find(key);
        if (it == meta.end() || it->second.type != SQLITE_INTEGER) return missing(key);
        out = it->second.i;
        if (out >= lo && out <= hi) return true;
        error_ = std::string("recording damaged: meta ") + key + " is out of range";
        return false;
    };
    auto get_bytes = [&](const char *key, int type, size_t max, std::string &out) {
        const auto it = meta.find(key);
        if (it == meta.end() || it->second.type != type) return missing(key);
        if (it->second.bytes.size() > max) {
            error_ = std::string("recording damaged: meta ") + key + " has the wrong size";
            return false;
        }
        out = it->second.bytes;
        return true;
    };

    {
        std::string format;
        const auto it = meta.find(schema::kKeyFormat);
        if (it == meta.end() || it->second.type != SQLITE_TEXT || it->second.bytes != kFormatName) {
            error_ = std::string("recording: the file is not a ") + kFormatName;
            return false;
        }
        int64_t version = 0;
        if (!get_int(schema::kKeyVersion, 0, kI64Max, version)) return false;
        if (version != kFormatVersion) {
            error_ = "recording: unsupported recording version " + std::to_string(version);
            return false;
        }
        version_ = kFormatVersion;
    }
    {
        Identity &id = identity_;
        std::string uid, if_info;
        int64_t v = 0;
        if (!get_bytes(schema::kKeyProduct, SQLITE_TEXT, kMaxTextBytes, id.product) ||
            !get_bytes(schema::kKeyIdent, SQLITE_TEXT, kMaxTextBytes, id.ident) ||
            !get_bytes(schema::kKeyLibraryVersion, SQLITE_TEXT, kMaxTextBytes,
                       id.library_version) ||
            !get_bytes(schema::kKeyUid, SQLITE_BLOB, id.uid.size(), uid) ||
            !get_bytes(schema::kKeyIfInfo, SQLITE_BLOB, id.if_info.size(), if_info))
            return false;
        if (if_info.size() != id.if_info.size()) {
            error_ = "recording damaged: meta if_info has the wrong size";
            return false;
        }
        std::copy(uid.begin(), uid.end(), id.uid.begin());
        std::copy(if_info.begin(), if_info.end(), id.if_info.begin());
        for (size_t i = 0; i < id.version.size(); ++i) {
            if (!get_int(schema::kKeyVersions[i], 0, 0xFFFF, v)) return false;
            id.version[i] = static_cast<uint16_t>(v);
        }
        if (!get_int(schema::kKeyIfType, 0, kU32Max, v)) return false;
        id.if_type = static_cast<uint32_t>(v);
        if (!get_int(schema::kKeyLocated, 0, 0xFF, v)) return false;
        id.located = static_cast<uint8_t>(v);
        if (!get_int(schema::kKeyWallStart, std::numeric_limits<int64_t>::min(), kI64Max,
                     id.wall_start_us) ||
            !get_int(schema::kKeyFinished, 0, 1, v))
            return false;
        // Not in recordings made before the key existed.
        if (meta.count(schema::kKeyMonotonicStart) &&
            !get_int(schema::kKeyMonotonicStart, 0, kI64Max, id.monotonic_start_ns))
            return false;
        finished_ = v == 1;
        // The summary comes with the finish, in the same transaction.
        if (finished_ || meta.count(schema::kKeyLostTransfers)) {
            int64_t lt = 0, lb = 0, we = 0;
            if (!get_int(schema::kKeyLostTransfers, 0, kI64Max, lt) ||
                !get_int(schema::kKeyLostBytes, 0, kI64Max, lb) ||
                !get_int(schema::kKeyWriteErrors, 0, kU32Max, we))
                return false;
            summary_ = {static_cast<uint64_t>(lt), static_cast<uint64_t>(lb),
                        static_cast<uint32_t>(we)};
        }
    }

    {  // files: each blob loaded only when it fits what is left of the budget
        Stmt s;
        if (!prepare(s,
                     "SELECT name, role, CASE WHEN typeof(data) = 'blob' AND length(data) <= ?1"
                     " THEN data END AS data FROM main.files ORDER BY rowid LIMIT ?2",
                     "files"))
            return false;
        uint64_t budget = kMaxBlobBytes;
        sqlite3_bind_int64(s.get(), 1, static_cast<int64_t>(budget));
        sqlite3_bind_int64(s.get(), 2, int64_t{schema::kMaxFiles} + 1);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            const std::string where = "files row " + std::to_string(files_.size());
            if (files_.size() == schema::kMaxFiles) {
                error_ = "recording damaged: too many stored files";
                return false;
            }
            const Row row(s.get(), error_, where);
            StoredFile f;
            if (!row.text(0, f.name) || !row.text(1, f.role) || !row.bytes(2, budget, f.data))
                return false;
            if (!schema::plain_file_name(f.name)) {
                error_ = "recording damaged: " + where + ": name is not a plain file name";
                return false;
            }
            budget -= f.data.size();
            files_.push_back(std::move(f));
        }
        if (rc != SQLITE_DONE) return step_failed("files");
    }
    {
        Stmt s;
        if (!prepare(s, "SELECT id, item FROM main.params ORDER BY id LIMIT ?1", "params"))
            return false;
        sqlite3_bind_int64(s.get(), 1, int64_t{kMaxStateRows} + 1);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (params_.size() == kMaxStateRows) {
                error_ = "recording damaged: too many parameter values";
                return false;
            }
            const std::string where = "params row " + std::to_string(params_.size());
            const Row row(s.get(), error_, where);
            ParamValue p;
            const uint8_t *item = nullptr;
            size_t n = 0;
            if (!row.integer(0, p.id) || !row.blob(1, sizeof p.item, true, item, n)) return false;
            std::memcpy(&p.item, item, sizeof p.item);
            params_.push_back(p);
        }
        if (rc != SQLITE_DONE) return step_failed("params");
    }
    {
        Stmt s;
        if (!prepare(s, "SELECT target, addr, value FROM main.regs ORDER BY target, addr LIMIT ?1",
                     "regs"))
            return false;
        sqlite3_bind_int64(s.get(), 1, int64_t{kMaxStateRows} + 1);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (regs_.size() == kMaxStateRows) {
                error_ = "recording damaged: too many register values";
                return false;
            }
            const std::string where = "regs row " + std::to_string(regs_.size());
            const Row row(s.get(), error_, where);
            RegValue r;
            if (!row.integer(0, r.target) || !row.integer(1, r.addr) || !row.integer(2, r.value))
                return false;
            regs_.push_back(r);
        }
        if (rc != SQLITE_DONE) return step_failed("regs");
    }

    {  // transfers: only their extent here (length() reads no blob content)
        Stmt s;
        if (!prepare(s,
                     "SELECT count(*), min(seq), max(seq), sum(length(data)) FROM main.transfers",
                     "transfers"))
            return false;
        if (sqlite3_step(s.get()) != SQLITE_ROW) return step_failed("transfers");
        const std::string where = "transfers";
        const Row row(s.get(), error_, where);
        int64_t count = 0, first = 0, last = 0, bytes = 0;
        if (!row.integer(0, 0, kI64Max, count)) return false;
        if (count > 0) {
            if (!row.integer(1, 0, kI64Max - 1, first) || !row.integer(2, 0, kI64Max - 1, last) ||
                !row.integer(3, 0, kI64Max, bytes))
                return false;
            transfer_count_ = static_cast<uint64_t>(last) + 1;
            byte_count_ = static_cast<uint64_t>(bytes);
            int64_t t_first = 0, t_last = 0;
            Stmt t;
            if (!prepare(t, "SELECT t_ns FROM main.transfers WHERE seq = ?1", "transfers"))
                return false;
            for (auto [seq, out] : {std::pair{first, &t_first}, std::pair{last, &t_last}}) {
                sqlite3_reset(t.get());
                sqlite3_bind_int64(t.get(), 1, seq);
                if (sqlite3_step(t.get()) != SQLITE_ROW) return step_failed("transfers");
                const std::string at = "transfer " + std::to_string(seq);
                if (!Row(t.get(), error_, at).integer(0, 0, kI64Max, *out)) return false;
            }
            if (t_last < t_first) {
                error_ = "recording damaged: transfers: the last arrived before the first";
                return false;
            }
            duration_ns_ = t_last - t_first;
        }
    }

    {
        Stmt s;
        if (!prepare(s,
                     "SELECT t_ns, transfer, frames_fetched, kind, id, addr, value"
                     " FROM main.events ORDER BY rowid LIMIT ?1",
                     "events"))
            return false;
        sqlite3_bind_int64(s.get(), 1, int64_t{kMaxEvents} + 1);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (events_.size() == kMaxEvents) {
                error_ = "recording damaged: too many events";
                return false;
            }
            const std::string where = "events row " + std::to_string(events_.size());
            const Row row(s.get(), error_, where);
            Event e;
            int64_t transfer = 0;
            if (!row.integer(0, 0, kI64Max, e.t_ns) || !row.integer(1, 0, kI64Max, transfer) ||
                !row.integer(2, e.frames_fetched) || !row.integer(3, e.kind) ||
                !row.integer(4, e.id) || !row.integer(5, e.addr) ||
                !row.bytes(6, KAVRI_REC_EVENT_VALUE_SIZE, e.value))
                return false;
            e.transfer = static_cast<uint64_t>(transfer);
            events_.push_back(std::move(e));
        }
        if (rc != SQLITE_DONE) return step_failed("events");
        // Written in order; a file put together otherwise is put in order.
        auto before = [](const Event &a, const Event &b) {
            return a.transfer != b.transfer ? a.transfer < b.transfer : a.t_ns < b.t_ns;
        };
        if (!std::is_sorted(events_.begin(), events_.end(), before))
            std::stable_sort(events_.begin(), events_.end(), before);
    }
    {
        Stmt s;
        if (!prepare(s, "SELECT idx, transfer, t_ns FROM main.frames ORDER BY idx LIMIT ?1",
                     "frames"))
            return false;
        sqlite3_bind_int64(s.get(), 1, int64_t{kMaxFrames} + 1);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            if (frames_.size() == kMaxFrames) {
                error_ = "recording damaged: too many frame marks";
                return false;
            }
            const uint32_t index = static_cast<uint32_t>(frames_.size());
            const std::string where = "frames row " + std::to_string(index);
            const Row row(s.get(), error_, where);
            FrameMark f;
            int64_t transfer = 0;
            if (!row.integer(0, index, index, transfer) ||
                !row.integer(1, 0, static_cast<int64_t>(transfer_count_) - 1, transfer) ||
                !row.integer(2, 0, kI64Max, f.t_ns))
                return false;
            f.index = index;
            f.transfer = static_cast<uint64_t>(transfer);
            if (!frames_.empty() &&
                (f.transfer < frames_.back().transfer || f.t_ns < frames_.back().t_ns)) {
                error_ = "recording damaged: " + where + " goes back in time";
                return false;
            }
            frames_.push_back(f);
        }
        if (rc != SQLITE_DONE) return step_failed("frames");
    }

    // Oversized data is left unread: the CASE yields NULL and the length
    // says why.
    const std::string sql =
        "SELECT seq, t_ns, code, frames, boundary, length(data) AS size,"
        " CASE WHEN typeof(data) = 'blob' AND length(data) <= " +
        std::to_string(kMaxTransferBytes) +
        " THEN data END AS data FROM main.transfers WHERE seq >= ?1 ORDER BY seq LIMIT ?2";
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &read_stmt_, nullptr) !=
        SQLITE_OK) {
        error_ = std::string("recording damaged: table transfers: ") + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool Reader::read_transfers(uint64_t seq, uint32_t max, std::vector<Transfer> &out) {
    out.clear();
    if (db_ == nullptr || read_stmt_ == nullptr) {
        error_ = "recording: no file open";
        return false;
    }
    if (max == 0 || seq >= transfer_count_) return true;
    sqlite3_stmt *s = read_stmt_;
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, static_cast<int64_t>(seq));
    sqlite3_bind_int64(s, 2, max);
    uint64_t want = seq;
    int rc;
    bool ok = true;
    while (ok && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        const std::string where = "transfer " + std::to_string(want);
        const Row row(s, error_, where);
        int64_t got = 0;
        if (!row.integer(0, 0, kI64Max, got)) {
            ok = false;
            break;
        }
        if (static_cast<uint64_t>(got) != want) {
            error_ = "recording damaged: transfer " + std::to_string(want) + " is missing";
            ok = false;
            break;
        }
        Transfer t;
        t.seq = want;
        int64_t boundary = 0, size = 0;
        ok = row.integer(1, 0, kI64Max, t.t_ns) && row.integer(2, t.code) &&
             row.integer(3, t.frames) && row.integer(4, 0, 1, boundary) &&
             row.integer(5, 0, kMaxTransferBytes, size) && row.bytes(6, kMaxTransferBytes, t.data);
        if (!ok) break;
        t.boundary = static_cast<uint8_t>(boundary);
        out.push_back(std::move(t));
        ++want;
    }
    if (ok && rc != SQLITE_DONE) {
        error_ = "recording damaged: reading transfer " + std::to_string(want) + ": " +
                 sqlite3_errmsg(db_);
        ok = false;
    }
    // Then too few rows: the seq after the last one read is missing.
    if (ok && out.size() < max && want < transfer_count_) {
        error_ = "recording damaged: transfer " + std::to_string(want) + " is missing";
        ok = false;
    }
    sqlite3_reset(s);
    return ok;
}

}  // namespace kavri::rec
