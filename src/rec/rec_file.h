// The recording file: an SQLite database written by Writer and read by
// Reader. The schema and its meaning are in docs/recording-format.md; this
// header is the only way the rest of the library touches the file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kavri/rec.h"
#include "kavri/types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kavri::rec {

inline constexpr uint32_t kFormatVersion = 1;
inline constexpr char kFormatName[] = "kavri-raw-recording";

// Bounds a reader enforces, so a hostile file cannot make it allocate
// without limit: a larger value is damage.
inline constexpr uint32_t kMaxTransferBytes = 16u << 20;  // one stream transfer
inline constexpr uint32_t kMaxBlobBytes = 256u << 20;     // one stored file
inline constexpr uint32_t kMaxEvents = 4u << 20;
inline constexpr uint32_t kMaxFrames = 64u << 20;
inline constexpr uint32_t kMaxStateRows = 1u << 20;
inline constexpr uint32_t kMaxTextBytes = 4096;

// The camera as it was opened.
struct Identity {
    std::string product;
    std::string ident;
    std::array<uint8_t, 32> uid{};
    std::array<uint16_t, 4> version{};
    uint32_t if_type = 0;
    std::array<uint8_t, KAVRI_IF_INFO_SIZE> if_info{};
    uint8_t located = 0;
    std::string library_version;
    int64_t wall_start_us = 0;  // wall-clock time of the start, microseconds since 1970
    // CLOCK_MONOTONIC at the recording's time 0: the frames' arrival times on
    // the host's clock, to pair recordings made together (0: not recorded).
    int64_t monotonic_start_ns = 0;
};

// A file the library had mounted (calibration parameter file, lens file),
// under its file name without the folder.
struct StoredFile {
    std::string name;
    std::string role;  // "calibration" or "lens"
    std::vector<uint8_t> data;
};

// A parameter value the library knew at the start: the 20-byte wire item.
struct ParamValue {
    uint32_t id = 0;
    kavri_ll_param_item_t item{};
};

struct RegValue {
    uint32_t target = 0;
    uint32_t addr = 0;
    uint32_t value = 0;
};

// One stream transfer as the transport completed it.
struct Transfer {
    uint64_t seq = 0;      // 0, 1, 2 ... in arrival order
    int64_t t_ns = 0;      // monotonic arrival time since the recording's first moment
    int32_t code = 0;      // completion code handed to the capture handler
    uint32_t frames = 0;   // frames the parser had completed after it, since the start
    uint8_t boundary = 0;  // 1: after it the parser held no part of a frame
    std::vector<uint8_t> data;
};

// A recorded event (kinds KAVRI_REC_EV_*); value holds at most
// KAVRI_REC_EVENT_VALUE_SIZE bytes.
struct Event {
    int64_t t_ns = 0;
    uint64_t transfer = 0;  // transfers recorded before it
    uint32_t frames_fetched = 0;
    uint32_t kind = 0;
    uint32_t id = 0;
    uint32_t addr = 0;
    std::vector<uint8_t> value;
};

// A frame the parser completed: its index, the transfer that completed it
// and that transfer's arrival time.
struct FrameMark {
    uint32_t index = 0;
    uint64_t transfer = 0;
    int64_t t_ns = 0;
};

// What finish() stores about the whole recording.
struct Summary {
    uint64_t lost_transfers = 0;
    uint64_t lost_bytes = 0;
    uint32_t write_errors = 0;
};

// Writes a new recording. Not thread-safe: one thread (the recorder's
// writer) owns it. Every call returns false after an SQLite error, with the
// message in error().
class Writer {
  public:
    Writer() = default;
    ~Writer();  // closes without finish(): the file stays a valid, unfinished recording
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates path (replacing a file there), the schema, and the start
    // records; one transaction.
    bool create(const std::string &path, const Identity &id, std::span<const StoredFile> files,
                std::span<const ParamValue> params, std::span<const RegValue> regs);
    // One transaction: the transfers (frame marks derived from their frame
    // counters), then the events.
    bool write_batch(std::span<const Transfer> transfers, std::span<const Event> events);
    // Stores the summary, marks the file finished, checkpoints the WAL and closes.
    bool finish(const Summary &summary);
    const std::string &error() const { return error_; }

  private:
    bool fail(const char *what);
    void close();

    sqlite3 *db_ = nullptr;
    std::string error_;
    uint32_t frames_written_ = 0;
    // The last frame mark's transfer and time: marks never go back.
    uint64_t mark_transfer_ = 0;
    int64_t mark_t_ns_ = 0;
    // Prepared once by create(), reused by every batch.
    sqlite3_stmt *transfer_stmt_ = nullptr;
    sqlite3_stmt *frame_stmt_ = nullptr;
    sqlite3_stmt *event_stmt_ = nullptr;
};

// Reads a recording. Open validates the whole start of the file and loads
// the small tables (identity, files, state, events, frame marks) into
// memory; transfers are read on demand. Not thread-safe: one owner.
class Reader {
  public:
    Reader() = default;
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // False with error() for a missing, foreign, damaged or hostile file.
    bool open(const std::string &path);
    // The same for a whole database file held in memory (a copy is made).
    bool open_image(std::span<const uint8_t> image);
    const std::string &error() const { return error_; }

    uint32_t version() const { return version_; }
    bool finished() const { return finished_; }
    const Identity &identity() const { return identity_; }
    const std::vector<StoredFile> &files() const { return files_; }
    const std::vector<ParamValue> &params() const { return params_; }
    const std::vector<RegValue> &regs() const { return regs_; }
    const std::vector<Event> &events() const { return events_; }      // time order
    const std::vector<FrameMark> &frames() const { return frames_; }  // index order
    const Summary &summary() const { return summary_; }
    uint64_t transfer_count() const { return transfer_count_; }  // seq 0 .. count-1
    uint64_t byte_count() const { return byte_count_; }
    int64_t duration_ns() const { return duration_ns_; }

    // Reads transfers seq, seq+1 ... into out (cleared first), at most max.
    // Returns false with error() on damage (a missing seq, an oversized or
    // malformed row): what was read before it is in out.
    bool read_transfers(uint64_t seq, uint32_t max, std::vector<Transfer> &out);

  private:
    bool load();
    void close();

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *read_stmt_ = nullptr;
    std::string error_;
    uint32_t version_ = 0;
    bool finished_ = false;
    Identity identity_;
    std::vector<StoredFile> files_;
    std::vector<ParamValue> params_;
    std::vector<RegValue> regs_;
    std::vector<Event> events_;
    std::vector<FrameMark> frames_;
    Summary summary_;
    uint64_t transfer_count_ = 0;
    uint64_t byte_count_ = 0;
    int64_t duration_ns_ = 0;
};

}  // namespace kavri::rec
