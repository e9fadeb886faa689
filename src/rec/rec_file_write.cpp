// Writer: the recording file made as the camera sends. A rollback journal
// with synchronous=OFF: a commit appends the new pages to the file itself
// (new pages need no journal, only the few pages a commit changes go there
// first) with no fsync, and a process killed after write_batch returned
// keeps that batch: the OS holds the written bytes, and the next opener rolls
// back a batch that was cut short. Only a power loss can take the last
// commits. A write-ahead log would write every byte twice (the log, then the
// checkpoint) and read it once more: measured, it doubled the recorder's cost.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>

#include "rec/rec_file.h"
#include "rec/rec_schema.h"

namespace kavri::rec {

namespace {

using schema::Stmt;

// Stream transfers are blobs of tens to hundreds of KiB, each a chain of
// overflow pages: 16 KiB pages make the chains four times shorter than
// SQLite's 4 KiB and more than double the write rate.
constexpr int kPageSize = 16384;

int64_t clamp_i64(uint64_t v) {
    return static_cast<int64_t>(std::min<uint64_t>(v, std::numeric_limits<int64_t>::max()));
}

// A blob of n bytes at p; an empty one must still be a blob, never NULL
// (sqlite3_bind_blob with a null pointer binds NULL).
int bind_bytes(sqlite3_stmt *s, int i, const void *p, size_t n) {
    if (n == 0) return sqlite3_bind_zeroblob(s, i, 0);
    return sqlite3_bind_blob64(s, i, p, n, SQLITE_STATIC);
}

int bind_text(sqlite3_stmt *s, int i, const std::string &t) {
    return sqlite3_bind_text64(s, i, t.data(), t.size(), SQLITE_STATIC, SQLITE_UTF8);
}

// Steps a bound insert once and readies it for the next row.
int run(sqlite3_stmt *s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The journal mode holds once the pragma answers it.
bool journal_is(sqlite3 *db, const char *mode_name) {
    Stmt mode;
    if (mode.prepare(db, (std::string("PRAGMA journal_mode=") + mode_name).c_str()) != SQLITE_OK ||
        sqlite3_step(mode.get()) != SQLITE_ROW)
        return false;
    const auto *answer = sqlite3_column_text(mode.get(), 0);
    return answer != nullptr && std::string(reinterpret_cast<const char *>(answer)) == mode_name;
}

int exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// meta rows, each value with its own SQLite type.
struct MetaInsert {
    sqlite3 *db;
    Stmt stmt;
    int rc = SQLITE_OK;

    explicit MetaInsert(sqlite3 *d) : db(d) {
        rc = stmt.prepare(db, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    }
    void put(const char *key, int64_t v) {
        if (rc != SQLITE_OK) return;
        sqlite3_bind_text(stmt.get(), 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_int64(stmt.get(), 2, v);
        rc = run(stmt.get());
    }
    void put(const char *key, const std::string &v) {
        if (rc != SQLITE_OK) return;
        sqlite3_bind_text(stmt.get(), 1, key, -1, SQLITE_STATIC);
        bind_text(stmt.get(), 2, v);
        rc = run(stmt.get());
    }
    void put_blob(const char *key, const uint8_t *p, size_t n) {
        if (rc != SQLITE_OK) return;
        sqlite3_bind_text(stmt.get(), 1, key, -1, SQLITE_STATIC);
        bind_bytes(stmt.get(), 2, p, n);
        rc = run(stmt.get());
    }
};

bool text_fits(const std::string &t) {
    return t.size() <= kMaxTextBytes;
}

// What the reader would refuse is not written: a recording this writer made
// always opens.
const char *check_start(const Identity &id, std::span<const StoredFile> files,
                        std::span<const ParamValue> params, std::span<const RegValue> regs) {
    if (!text_fits(id.product) || !text_fits(id.ident) || !text_fits(id.library_version))
        return "identity text longer than the format allows";
    if (files.size() > schema::kMaxFiles) return "too many stored files";
    uint64_t total = 0;
    for (const StoredFile &f : files) {
        if (!text_fits(f.name) || !text_fits(f.role)) return "stored file name or role too long";
        if (!schema::plain_file_name(f.name)) return "stored file name is not a plain file name";
        total += f.data.size();
    }
    if (total > kMaxBlobBytes) return "stored files larger than the format allows";
    if (params.size() > kMaxStateRows || regs.size() > kMaxStateRows)
        return "more parameter or register values than the format allows";
    return nullptr;
}

}  // namespace

Writer::~Writer() {
    close();
}

void Writer::close() {
    sqlite3_finalize(transfer_stmt_);
    sqlite3_finalize(frame_stmt_);
    sqlite3_finalize(event_stmt_);
    transfer_stmt_ = frame_stmt_ = event_stmt_ = nullptr;
    // Closed between batches, an unfinished recording is one file as well.
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool Writer::fail(const char *what) {
    error_ = std::string("recording: ") + what;
    if (db_ != nullptr) error_ += std::string(": ") + sqlite3_errmsg(db_);
    return false;
}

bool Writer::create(const std::string &path, const Identity &id, std::span<const StoredFile> files,
                    std::span<const ParamValue> params, std::span<const RegValue> regs) {
    if (db_ != nullptr) {
        error_ = "recording: the writer already has a file open";
        return false;
    }
    if (const char *bad = check_start(id, files, params, regs)) {
        error_ = std::string("recording: ") + bad;
        return false;
    }
    frames_written_ = 0;
    mark_transfer_ = 0;
    mark_t_ns_ = 0;
    // A leftover -wal of an older file at the same path would be replayed
    // into the new one.
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(path + suffix, ec);
        if (ec) {
            error_ = "recording: cannot replace " + path + suffix + ": " + ec.message();
            return false;
        }
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        fail(("cannot create " + path).c_str());
        close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxBlobBytes));

    const bool ok = [&] {
        // The page size holds only if set before the first table exists.
        if (exec(db_, ("PRAGMA page_size=" + std::to_string(kPageSize)).c_str()) != SQLITE_OK)
            return fail("cannot set the page size");
        if (!journal_is(db_, "truncate")) return fail("cannot set the journal mode");
        if (exec(db_, "PRAGMA synchronous=OFF") != SQLITE_OK) return fail("cannot set the journal");
        if (exec(db_, "BEGIN") != SQLITE_OK) return fail("cannot begin");
        if (exec(db_, schema::kCreateSql) != SQLITE_OK) return fail("cannot create the tables");

        MetaInsert meta(db_);
        meta.put(schema::kKeyFormat, std::string(kFormatName));
        meta.put(schema::kKeyVersion, int64_t{kFormatVersion});
        meta.put(schema::kKeyProduct, id.product);
        meta.put(schema::kKeyIdent, id.ident);
        meta.put_blob(schema::kKeyUid, id.uid.data(), id.uid.size());
        for (size_t i = 0; i < id.version.size(); ++i)
            meta.put(schema::kKeyVersions[i], int64_t{id.version[i]});
        meta.put(schema::kKeyIfType, int64_t{id.if_type});
        meta.put_blob(schema::kKeyIfInfo, id.if_info.data(), id.if_info.size());
        meta.put(schema::kKeyLocated, int64_t{id.located});
        meta.put(schema::kKeyLibraryVersion, id.library_version);
        meta.put(schema::kKeyWallStart, id.wall_start_us);
        meta.put(schema::kKeyMonotonicStart, id.monotonic_start_ns);
        meta.put(schema::kKeyFinished, int64_t{0});
        if (meta.rc != SQLITE_OK) return fail("cannot write the identity");

        Stmt ins;
        if (ins.prepare(db_, "INSERT INTO files(name, role, data) VALUES(?1, ?2, ?3)") != SQLITE_OK)
            return fail("cannot store the files");
        for (const StoredFile &f : files) {
            bind_text(ins.get(), 1, f.name);
            bind_text(ins.get(), 2, f.role);
            bind_bytes(ins.get(), 3, f.data.data(), f.data.size());
            if (run(ins.get()) != SQLITE_OK) return fail(("cannot store file " + f.name).c_str());
        }
        // One value per parameter and per register: the last one given wins.
        if (ins.prepare(db_, "INSERT OR REPLACE INTO params(id, item) VALUES(?1, ?2)") != SQLITE_OK)
            return fail("cannot store the parameter values");
        for (const ParamValue &p : params) {
            sqlite3_bind_int64(ins.get(), 1, p.id);
            bind_bytes(ins.get(), 2, &p.item, sizeof p.item);
            if (run(ins.get()) != SQLITE_OK) return fail("cannot store a parameter value");
        }
        if (ins.prepare(db_,
                        "INSERT OR REPLACE INTO regs(target, addr, value) VALUES(?1, ?2, ?3)") !=
            SQLITE_OK)
            return fail("cannot store the register values");
        for (const RegValue &r : regs) {
            sqlite3_bind_int64(ins.get(), 1, r.target);
            sqlite3_bind_int64(ins.get(), 2, r.addr);
            sqlite3_bind_int64(ins.get(), 3, r.value);
            if (run(ins.get()) != SQLITE_OK) return fail("cannot store a register value");
        }
        if (exec(db_, "COMMIT") != SQLITE_OK) return fail("cannot commit the start");

        const unsigned keep = SQLITE_PREPARE_PERSISTENT;
        if (sqlite3_prepare_v3(db_,
                               "INSERT INTO transfers(seq, t_ns, code, frames, boundary, data)"
                               " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                               -1, keep, &transfer_stmt_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v3(db_, "INSERT INTO frames(idx, transfer, t_ns) VALUES(?1, ?2, ?3)",
                               -1, keep, &frame_stmt_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v3(db_,
                               "INSERT INTO events(t_ns, transfer, frames_fetched, kind, id,"
                               " addr, value) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                               -1, keep, &event_stmt_, nullptr) != SQLITE_OK)
            return fail("cannot prepare the inserts");
        return true;
    }();
    if (!ok) {
        // Half a start is no recording: nothing is left behind.
        close();
        for (const char *suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ec);
    }
    return ok;
}

bool Writer::write_batch(std::span<const Transfer> transfers, std::span<const Event> events) {
    if (db_ == nullptr) {
        error_ = "recording: no file open";
        return false;
    }
    for (const Transfer &t : transfers)
        if (t.data.size() > kMaxTransferBytes || t.boundary > 1 || t.t_ns < 0) {
            error_ = "recording: transfer " + std::to_string(t.seq) + " does not fit the format";
            return false;
        }
    for (const Event &e : events)
        if (e.value.size() > KAVRI_REC_EVENT_VALUE_SIZE || e.t_ns < 0) {
            error_ = "recording: event does not fit the format";
            return false;
        }
    if (exec(db_, "BEGIN") != SQLITE_OK) return fail("cannot begin a batch");
    const uint32_t frames_before = frames_written_;
    const uint64_t mark_transfer_before = mark_transfer_;
    const int64_t mark_t_ns_before = mark_t_ns_;
    const bool ok = [&] {
        for (const Transfer &t : transfers) {
            sqlite3_stmt *s = transfer_stmt_;
            sqlite3_bind_int64(s, 1, clamp_i64(t.seq));
            sqlite3_bind_int64(s, 2, t.t_ns);
            sqlite3_bind_int64(s, 3, t.code);
            sqlite3_bind_int64(s, 4, t.frames);
            sqlite3_bind_int64(s, 5, t.boundary);
            bind_bytes(s, 6, t.data.data(), t.data.size());
            if (run(s) != SQLITE_OK)
                return fail(("cannot write transfer " + std::to_string(t.seq)).c_str());
            // Each frame the parser completed with this transfer gets a mark;
            // a counter, seq or clock that went back (none should) adds none
            // and moves no mark back: readers refuse marks out of order.
            const uint32_t upto = std::min(t.frames, kMaxFrames);
            if (frames_written_ < upto) {
                mark_transfer_ = std::max<uint64_t>(mark_transfer_, clamp_i64(t.seq));
                mark_t_ns_ = std::max(mark_t_ns_, t.t_ns);
            }
            for (; frames_written_ < upto; ++frames_written_) {
                sqlite3_bind_int64(frame_stmt_, 1, frames_written_);
                sqlite3_bind_int64(frame_stmt_, 2, static_cast<int64_t>(mark_transfer_));
                sqlite3_bind_int64(frame_stmt_, 3, mark_t_ns_);
                if (run(frame_stmt_) != SQLITE_OK) return fail("cannot write a frame mark");
            }
        }
        for (const Event &e : events) {
            sqlite3_stmt *s = event_stmt_;
            sqlite3_bind_int64(s, 1, e.t_ns);
            sqlite3_bind_int64(s, 2, clamp_i64(e.transfer));
            sqlite3_bind_int64(s, 3, e.frames_fetched);
            sqlite3_bind_int64(s, 4, e.kind);
            sqlite3_bind_int64(s, 5, e.id);
            sqlite3_bind_int64(s, 6, e.addr);
            bind_bytes(s, 7, e.value.data(), e.value.size());
            if (run(s) != SQLITE_OK) return fail("cannot write an event");
        }
        return exec(db_, "COMMIT") == SQLITE_OK || fail("cannot commit a batch");
    }();
    if (!ok) {
        const std::string why = error_;
        exec(db_, "ROLLBACK");
        frames_written_ = frames_before;
        mark_transfer_ = mark_transfer_before;
        mark_t_ns_ = mark_t_ns_before;
        error_ = why;
    }
    return ok;
}

bool Writer::finish(const Summary &summary) {
    if (db_ == nullptr) {
        error_ = "recording: no file open";
        return false;
    }
    bool ok = exec(db_, "BEGIN") == SQLITE_OK || fail("cannot begin the summary");
    if (ok) {
        MetaInsert meta(db_);
        meta.put(schema::kKeyLostTransfers, clamp_i64(summary.lost_transfers));
        meta.put(schema::kKeyLostBytes, clamp_i64(summary.lost_bytes));
        meta.put(schema::kKeyWriteErrors, int64_t{summary.write_errors});
        meta.put(schema::kKeyFinished, int64_t{1});
        ok = (meta.rc == SQLITE_OK || fail("cannot write the summary")) &&
             (exec(db_, "COMMIT") == SQLITE_OK || fail("cannot commit the summary"));
        if (!ok) exec(db_, "ROLLBACK");
    }
    // A finished recording is one self-contained file with no journal left
    // beside it.
    sqlite3_finalize(transfer_stmt_);
    sqlite3_finalize(frame_stmt_);
    sqlite3_finalize(event_stmt_);
    transfer_stmt_ = frame_stmt_ = event_stmt_ = nullptr;
    if (ok) ok = journal_is(db_, "delete") || fail("cannot close");
    close();
    return ok;
}

}  // namespace kavri::rec
