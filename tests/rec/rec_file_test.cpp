// The recording file: everything written comes back, an unfinished or
// killed writer leaves a readable file with every committed batch, and
// damaged or hostile files are refused, or read up to the damage, with an
// error and never a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "rec/rec_file.h"

namespace fs = std::filesystem;
using namespace kavri::rec;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBatch = 16;

Bytes pattern(size_t n, uint8_t salt) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + salt);
    return b;
}

Identity sample_identity() {
    Identity id;
    id.product = "TOF-320";
    id.ident = "ID 00ab";
    for (size_t i = 0; i < id.uid.size(); ++i) id.uid[i] = static_cast<uint8_t>(0xA0 + i);
    id.version = {0x0102, 0x0304, 0x0506, 0xFFFF};
    id.if_type = 7;
    for (size_t i = 0; i < id.if_info.size(); ++i) id.if_info[i] = static_cast<uint8_t>(i * 3);
    id.located = 1;
    id.library_version = "1.4.0";
    id.wall_start_us = 1780000000123456;
    id.monotonic_start_ns = 987654321;
    return id;
}

std::vector<StoredFile> sample_files() {
    return {{"kavri_param_1.bin", "calibration", pattern(3000, 1)},
            {"lens.txt", "lens", {'1', ' ', '2', '\n'}},
            {"empty.bin", "calibration", {}}};
}

std::vector<ParamValue> sample_params() {
    std::vector<ParamValue> p(3);
    for (uint32_t i = 0; i < p.size(); ++i) {
        p[i].id = 2 + i * 5;
        p[i].item.param_id = static_cast<uint8_t>(p[i].id);
        p[i].item.param_val_len = static_cast<uint8_t>(i + 1);
        for (uint32_t j = 0; j < KAVRI_PARAM_WIRE_VAL_SIZE; ++j)
            p[i].item.param_val[j] = static_cast<uint8_t>(i * 16 + j);
    }
    return p;
}

std::vector<RegValue> sample_regs() {
    return {{1, 0x10, 0xDEADBEEF}, {1, 0x14, 0}, {2, 0x0, 0xFFFFFFFF}};
}

Transfer transfer(uint64_t seq, uint32_t frames, size_t size, int32_t code = 0,
                  uint8_t boundary = 0) {
    Transfer t;
    t.seq = seq;
    t.t_ns = 1000 + static_cast<int64_t>(seq) * 2500000;
    t.code = code;
    t.frames = frames;
    t.boundary = boundary;
    t.data = pattern(size, static_cast<uint8_t>(seq));
    return t;
}

Event event(uint64_t transfer, int64_t t_ns, uint32_t kind, Bytes value = {}) {
    Event e;
    e.t_ns = t_ns;
    e.transfer = transfer;
    e.frames_fetched = static_cast<uint32_t>(transfer / 2);
    e.kind = kind;
    e.id = 40 + kind;
    e.addr = 0x1000 + kind;
    e.value = std::move(value);
    return e;
}

// What the sample recording holds: transfers of every kind, frame counters
// rising by 0, 1 and 2, events of several kinds.
struct Sample {
    std::vector<std::vector<Transfer>> batches;
    std::vector<std::vector<Event>> events;
    Summary summary{3, 4096, 1};

    Sample() {
        batches.push_back({transfer(0, 0, 1024), transfer(1, 1, 512, 0, 1), transfer(2, 1, 0, -7),
                           transfer(3, 3, 2048, 0, 1)});
        batches.push_back({transfer(4, 3, 100, -3), transfer(5, 4, 4096, 0, 1)});
        batches.push_back({});
        batches.push_back({transfer(6, 4, 1, -10), transfer(7, 6, 333, 0, 1)});
        events.push_back({event(0, 0, KAVRI_REC_EV_CAP_START),
                          event(2, 5002000, KAVRI_REC_EV_PARAM_SET, {1, 2, 3})});
        events.push_back({event(5, 12501000, KAVRI_REC_EV_REG_WRITE, {0xEF, 0xBE, 0xAD, 0xDE})});
        events.push_back(
            {event(6, 15000000, KAVRI_REC_EV_LOSS),
             event(6, 15000001, KAVRI_REC_EV_FILTER, Bytes(KAVRI_REC_EVENT_VALUE_SIZE, 9))});
        events.push_back({event(8, 17501000, KAVRI_REC_EV_CAP_STOP)});
    }
    std::vector<Transfer> transfers() const {
        std::vector<Transfer> all;
        for (const auto &b : batches) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    std::vector<Event> all_events() const {
        std::vector<Event> all;
        for (const auto &b : events) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    void write(const std::string &path, bool finish = true) const {
        Writer w;
        const auto files = sample_files();
        const auto params = sample_params();
        const auto regs = sample_regs();
        ASSERT_TRUE(w.create(path, sample_identity(), files, params, regs)) << w.error();
        for (size_t i = 0; i < batches.size(); ++i)
            ASSERT_TRUE(w.write_batch(batches[i], events[i])) << w.error();
        if (finish) {
            ASSERT_TRUE(w.finish(summary)) << w.error();
        }
    }
};

void expect_same(const Transfer &a, const Transfer &b) {
    EXPECT_EQ(a.seq, b.seq);
    EXPECT_EQ(a.t_ns, b.t_ns);
    EXPECT_EQ(a.code, b.code);
    EXPECT_EQ(a.frames, b.frames);
    EXPECT_EQ(a.boundary, b.boundary);
    EXPECT_EQ(a.data, b.data) << "transfer " << a.seq;
}

// Reads every transfer the way a replay does, a few at a time.
bool read_all(Reader &r, std::vector<Transfer> &all, uint32_t step = 3) {
    all.clear();
    std::vector<Transfer> part;
    for (uint64_t seq = 0;; seq += part.size()) {
        const bool ok = r.read_transfers(seq, step, part);
        EXPECT_LE(part.size(), step);
        for (const Transfer &t : part) EXPECT_LE(t.data.size(), kMaxTransferBytes);
        all.insert(all.end(), part.begin(), part.end());
        if (!ok) {
            EXPECT_FALSE(r.error().empty());
            return false;
        }
        if (part.empty()) return true;
    }
}

Bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

class RecFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "kv_rec_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/take.kvrec";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string dir_, path_;
};

TEST_F(RecFile, EverythingWrittenIsReadBack) {
    const Sample s;
    s.write(path_);
    EXPECT_FALSE(fs::exists(path_ + "-wal")) << "a finished recording is one file";
    Reader r;
    ASSERT_TRUE(r.open(path_)) << r.error();
    EXPECT_EQ(r.version(), kFormatVersion);
    EXPECT_TRUE(r.finished());

    const Identity id = sample_identity();
    EXPECT_EQ(r.identity().product, id.product);
    EXPECT_EQ(r.identity().ident, id.ident);
    EXPECT_EQ(r.identity().uid, id.uid);
    EXPECT_EQ(r.identity().version, id.version);
    EXPECT_EQ(r.identity().if_type, id.if_type);
    EXPECT_EQ(r.identity().if_info, id.if_info);
    EXPECT_EQ(r.identity().located, id.located);
    EXPECT_EQ(r.identity().library_version, id.library_version);
    EXPECT_EQ(r.identity().wall_start_us, id.wall_start_us);
    EXPECT_EQ(r.identity().monotonic_start_ns, id.monotonic_start_ns);

    const auto files = sample_files();
    ASSERT_EQ(r.files().size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(r.files()[i].name, files[i].name);
        EXPECT_EQ(r.files()[i].role, files[i].role);
        EXPECT_EQ(r.files()[i].data, files[i].data);
    }
    const auto params = sample_params();
    ASSERT_EQ(r.params().size(), params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        EXPECT_EQ(r.params()[i].id, params[i].id);
        EXPECT_EQ(std::memcmp(&r.params()[i].item, &params[i].item, sizeof params[i].item), 0);
    }
    const auto regs = sample_regs();
    ASSERT_EQ(r.regs().size(), regs.size());
    for (size_t i = 0; i < regs.size(); ++i) {
        EXPECT_EQ(r.regs()[i].target, regs[i].target);
        EXPECT_EQ(r.regs()[i].addr, regs[i].addr);
        EXPECT_EQ(r.regs()[i].value, regs[i].value);
    }

    const auto events = s.all_events();
    ASSERT_EQ(r.events().size(), events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        const Event &a = r.events()[i], &b = events[i];
        EXPECT_EQ(a.t_ns, b.t_ns);
        EXPECT_EQ(a.transfer, b.transfer);
        EXPECT_EQ(a.frames_fetched, b.frames_fetched);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.id, b.id);
        EXPECT_EQ(a.addr, b.addr);
        EXPECT_EQ(a.value, b.value);
    }

    // Counters 0 1 1 3 3 4 4 6: frame 0 completes with transfer 1, frames 1
    // and 2 with transfer 3, 3 with 5, 4 and 5 with 7.
    const auto all = s.transfers();
    const uint64_t completed_by[] = {1, 3, 3, 5, 7, 7};
    ASSERT_EQ(r.frames().size(), std::size(completed_by));
    for (uint32_t i = 0; i < r.frames().size(); ++i) {
        EXPECT_EQ(r.frames()[i].index, i);
        EXPECT_EQ(r.frames()[i].transfer, completed_by[i]);
        EXPECT_EQ(r.frames()[i].t_ns, all[completed_by[i]].t_ns);
    }

    EXPECT_EQ(r.summary().lost_transfers, s.summary.lost_transfers);
    EXPECT_EQ(r.summary().lost_bytes, s.summary.lost_bytes);
    EXPECT_EQ(r.summary().write_errors, s.summary.write_errors);
    uint64_t bytes = 0;
    for (const Transfer &t : all) bytes += t.data.size();
    EXPECT_EQ(r.transfer_count(), all.size());
    EXPECT_EQ(r.byte_count(), bytes);
    EXPECT_EQ(r.duration_ns(), all.back().t_ns - all.front().t_ns);

    std::vector<Transfer> got;
    ASSERT_TRUE(read_all(r, got)) << r.error();
    ASSERT_EQ(got.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) expect_same(got[i], all[i]);
    EXPECT_EQ(got[2].data.size(), 0u);
    // From the middle, and past the end.
    ASSERT_TRUE(r.read_transfers(5, 100, got));
    ASSERT_EQ(got.size(), 3u);
    expect_same(got[0], all[5]);
    ASSERT_TRUE(r.read_transfers(8, 100, got));
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(r.read_transfers(0, 0, got));
    EXPECT_TRUE(got.empty());

    // The same file from memory.
    Reader m;
    ASSERT_TRUE(m.open_image(read_file(path_))) << m.error();
    EXPECT_EQ(m.transfer_count(), all.size());
    EXPECT_EQ(m.frames().size(), std::size(completed_by));
    ASSERT_TRUE(read_all(m, got)) << m.error();
    EXPECT_EQ(got.size(), all.size());
}

TEST_F(RecFile, EmptyRecording) {
    Writer w;
    ASSERT_TRUE(w.create(path_, Identity{}, {}, {}, {})) << w.error();
    ASSERT_TRUE(w.finish({})) << w.error();
    Reader r;
    ASSERT_TRUE(r.open(path_)) << r.error();
    EXPECT_EQ(r.transfer_count(), 0u);
    EXPECT_EQ(r.byte_count(), 0u);
    EXPECT_EQ(r.duration_ns(), 0);
    EXPECT_TRUE(r.files().empty());
    EXPECT_TRUE(r.frames().empty());
    std::vector<Transfer> got{transfer(0, 0, 1)};
    EXPECT_TRUE(r.read_transfers(0, 10, got));
    EXPECT_TRUE(got.empty());
}

TEST_F(RecFile, CreateReplacesAnOlderFileAndItsWal) {
    write_file(path_, pattern(10000, 3));
    write_file(path_ + "-wal", pattern(5000, 4));
    write_file(path_ + "-shm", pattern(5000, 5));
    const Sample s;
    s.write(path_);
    Reader r;
    ASSERT_TRUE(r.open(path_)) << r.error();
    EXPECT_EQ(r.transfer_count(), s.transfers().size());
}

TEST_F(RecFile, UnfinishedRecordingReads) {
    const Sample s;
    s.write(path_, false);
    Reader r;
    ASSERT_TRUE(r.open(path_)) << r.error();
    EXPECT_FALSE(r.finished());
    EXPECT_EQ(r.summary().lost_transfers, 0u);
    EXPECT_EQ(r.transfer_count(), s.transfers().size());
    EXPECT_EQ(r.events().size(), s.all_events().size());
    std::vector<Transfer> got;
    EXPECT_TRUE(read_all(r, got)) << r.error();
    EXPECT_EQ(got.size(), s.transfers().size());
}

// The writer is killed at a moment of its own choosing, most likely in the
// middle of a batch: every batch it reported committed is in the file, and no
// part of any other.
TEST_F(RecFile, KilledWriterKeepsEveryCommittedBatch) {
    int pipe_fd[2];
    ASSERT_EQ(pipe(pipe_fd), 0);
    constexpr uint32_t kSize = 153600, kCommitted = 4;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_fd[0]);
        Writer w;
        if (!w.create(path_, sample_identity(), {}, {}, {})) _exit(1);
        std::vector<Transfer> batch;
        for (uint64_t seq = 0;; seq += kBatch) {
            batch.clear();
            for (uint32_t i = 0; i < kBatch; ++i)
                batch.push_back(transfer(seq + i, static_cast<uint32_t>((seq + i) / 2), kSize));
            const std::vector<Event> ev{event(seq, batch[0].t_ns, KAVRI_REC_EV_PARAM_SET)};
            if (!w.write_batch(batch, ev)) _exit(2);
            const char done = 1;
            if (write(pipe_fd[1], &done, 1) != 1) _exit(3);
        }
    }
    close(pipe_fd[1]);
    uint32_t committed = 0;
    char c;
    while (committed < kCommitted && read(pipe_fd[0], &c, 1) == 1) ++committed;
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(pipe_fd[0]);
    ASSERT_EQ(committed, kCommitted) << "child status " << status;
    ASSERT_TRUE(WIFSIGNALED(status));

    // The first reader rolls back a batch the kill cut short (its journal is
    // then gone); from there reading leaves the file as it is.
    Bytes main_file;
    for (int pass = 0; pass < 2; ++pass) {
        Reader r;
        ASSERT_TRUE(r.open(path_)) << r.error();
        EXPECT_FALSE(r.finished());
        EXPECT_GE(r.transfer_count(), kCommitted * kBatch);
        EXPECT_EQ(r.transfer_count() % kBatch, 0u) << "a batch is all or nothing";
        EXPECT_EQ(r.events().size(), r.transfer_count() / kBatch);
        EXPECT_EQ(r.byte_count(), r.transfer_count() * kSize);
        std::vector<Transfer> got;
        ASSERT_TRUE(read_all(r, got, kBatch)) << r.error();
        ASSERT_EQ(got.size(), r.transfer_count());
        for (uint64_t i = 0; i < got.size(); ++i)
            expect_same(got[i], transfer(i, static_cast<uint32_t>(i / 2), kSize));
        EXPECT_EQ(r.frames().size(), (got.size() - 1) / 2);
        if (pass == 0) main_file = read_file(path_);
    }
    EXPECT_EQ(read_file(path_), main_file);
    // No hot journal is left: gone, or emptied as the writer leaves it.
    EXPECT_TRUE(!fs::exists(path_ + "-journal") || fs::file_size(path_ + "-journal") == 0);
}

TEST_F(RecFile, WriterRefusesWhatTheReaderWouldRefuse) {
    Writer w;
    Identity long_name = sample_identity();
    long_name.product.assign(kMaxTextBytes + 1, 'x');
    EXPECT_FALSE(w.create(path_, long_name, {}, {}, {}));
    const std::vector<StoredFile> escape{{"../x.bin", "calibration", {1}}};
    EXPECT_FALSE(w.create(path_, sample_identity(), escape, {}, {}));
    EXPECT_FALSE(fs::exists(path_));

    ASSERT_TRUE(w.create(path_, sample_identity(), {}, {}, {})) << w.error();
    ASSERT_TRUE(w.write_batch(std::vector<Transfer>{transfer(0, 1, 10)}, {}));
    EXPECT_FALSE(w.create(path_, sample_identity(), {}, {}, {})) << "already open";
    Transfer big = transfer(1, 1, 0);
    big.data.resize(kMaxTransferBytes + 1);
    EXPECT_FALSE(w.write_batch(std::vector<Transfer>{big}, {}));
    EXPECT_FALSE(w.write_batch({}, std::vector<Event>{event(0, 0, 1, Bytes(21))}));
    EXPECT_FALSE(w.write_batch({}, std::vector<Event>{event(0, -1, 1)}));
    Transfer before_start = transfer(1, 1, 0);
    before_start.t_ns = -1;
    EXPECT_FALSE(w.write_batch(std::vector<Transfer>{before_start}, {}));
    // A failed batch leaves nothing of itself, frame marks included.
    EXPECT_FALSE(w.write_batch(std::vector<Transfer>{transfer(1, 3, 10), transfer(0, 3, 10)}, {}));
    EXPECT_NE(w.error().find("transfer 0"), std::string::npos) << w.error();
    ASSERT_TRUE(w.write_batch(std::vector<Transfer>{transfer(1, 2, 10)}, {})) << w.error();
    ASSERT_TRUE(w.finish({})) << w.error();
    EXPECT_FALSE(w.write_batch({}, {}));

    Reader r;
    ASSERT_TRUE(r.open(path_)) << r.error();
    EXPECT_EQ(r.transfer_count(), 2u);
    ASSERT_EQ(r.frames().size(), 2u);
    EXPECT_EQ(r.frames()[1].transfer, 1u);
}

TEST_F(RecFile, MissingOrForeignFileIsRefused) {
    Reader r;
    EXPECT_FALSE(r.open(path_));
    EXPECT_NE(r.error().find("cannot open"), std::string::npos) << r.error();
    EXPECT_FALSE(fs::exists(path_)) << "the reader creates nothing";
    write_file(path_, pattern(8192, 1));
    EXPECT_FALSE(r.open(path_));
    EXPECT_NE(r.error().find("not a recording"), std::string::npos) << r.error();
    write_file(path_, {});
    EXPECT_FALSE(r.open(path_));
    EXPECT_NE(r.error().find("no table meta"), std::string::npos) << r.error();
    EXPECT_FALSE(r.open_image({}));
    EXPECT_FALSE(r.open_image(pattern(600, 2)));
    std::vector<Transfer> got;
    EXPECT_FALSE(r.read_transfers(0, 1, got));
}

// A sample recording changed through SQLite itself.
struct Hostile {
    const char *name;
    const char *sql;
    bool opens;           // else open() refuses it
    const char *message;  // in error(), from open() or else from reading
    size_t readable;      // transfers read before the damage (SIZE_MAX: all)
};

const Hostile kHostile[] = {
    {"format name", "UPDATE meta SET value = 'other' WHERE key = 'format'", false,
     "not a kavri-raw-recording", 0},
    {"no format", "DELETE FROM meta WHERE key = 'format'", false, "not a kavri-raw", 0},
    {"version 2", "UPDATE meta SET value = 2 WHERE key = 'version'", false,
     "unsupported recording version 2", 0},
    {"version as text", "UPDATE meta SET value = '1' WHERE key = 'version'", false, "meta version",
     0},
    {"missing table", "DROP TABLE events", false, "no table events", 0},
    {"missing column", "ALTER TABLE transfers DROP COLUMN boundary", false,
     "no plain column boundary", 0},
    {"endless view",
     "DROP TABLE frames; CREATE VIEW frames AS WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL "
     "SELECT x + 1 FROM c) SELECT x AS idx, 0 AS transfer, 0 AS t_ns FROM c",
     false, "frames is not a plain table", 0},
    {"generated column",
     "DROP TABLE events; CREATE TABLE events(t_ns, transfer, frames_fetched, kind, id, addr, "
     "value AS (zeroblob(200000000)))",
     false, "no plain column value", 0},
    {"uid too long", "UPDATE meta SET value = zeroblob(33) WHERE key = 'uid'", false,
     "meta uid has the wrong size", 0},
    {"uid as text", "UPDATE meta SET value = 'abc' WHERE key = 'uid'", false, "meta uid", 0},
    {"if_info short", "UPDATE meta SET value = zeroblob(39) WHERE key = 'if_info'", false,
     "if_info has the wrong size", 0},
    {"product too long", "UPDATE meta SET value = hex(zeroblob(2049)) WHERE key = 'product'", false,
     "meta product is too long", 0},
    {"version out of range", "UPDATE meta SET value = 65536 WHERE key = 'version_sw'", false,
     "version_sw is out of range", 0},
    {"finished without summary", "DELETE FROM meta WHERE key = 'lost_bytes'", false,
     "lost_bytes is missing", 0},
    {"too many meta rows",
     "WITH RECURSIVE c(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM c LIMIT 1100) "
     "INSERT INTO meta SELECT 'k' || x, x FROM c",
     false, "meta has too many rows", 0},
    {"unknown meta key", "INSERT INTO meta VALUES('later', zeroblob(100000))", true, "", SIZE_MAX},
    {"param item short", "UPDATE params SET item = zeroblob(19) WHERE id = 7", false,
     "params row 1: item has the wrong size", 0},
    {"param item text", "UPDATE params SET item = 'abcdefghijklmnopqrst'", false,
     "item is not a blob", 0},
    {"param id negative", "UPDATE params SET id = -1 WHERE id = 2", false, "id is out of range", 0},
    {"register too wide", "UPDATE regs SET value = 4294967296 WHERE addr = 20", false,
     "regs row 1: value is out of range", 0},
    {"file name escapes", "UPDATE files SET name = '../../x' WHERE role = 'lens'", false,
     "files row 1: name is not a plain file name", 0},
    {"file data number", "UPDATE files SET data = 123 WHERE role = 'lens'", false,
     "data is not a blob", 0},
    {"event value too long", "UPDATE events SET value = zeroblob(21) WHERE kind = 4", false,
     "events row 0: value has the wrong size", 0},
    {"event kind negative", "UPDATE events SET kind = -1 WHERE kind = 5", false,
     "kind is out of range", 0},
    {"events out of order", "UPDATE events SET transfer = 100 WHERE kind = 4", true, "", SIZE_MAX},
    {"frame missing", "DELETE FROM frames WHERE idx = 1", false, "frames row 1: idx", 0},
    {"frame past the transfers", "UPDATE frames SET transfer = 8 WHERE idx = 5", false,
     "frames row 5: transfer is out of range", 0},
    {"frame goes back", "UPDATE frames SET transfer = 0 WHERE idx = 5", false,
     "frames row 5 goes back", 0},
    {"negative seq", "INSERT INTO transfers VALUES(-1, 0, 0, 0, 0, x'00')", false,
     "min(seq) is out of range", 0},
    {"last before first", "UPDATE transfers SET t_ns = 0 WHERE seq = 7", false,
     "the last arrived before the first", 0},
    {"seq gap", "DELETE FROM transfers WHERE seq = 2", true, "transfer 2 is missing", 2},
    {"first seq missing", "DELETE FROM transfers WHERE seq = 0", true, "transfer 0 is missing", 0},
    {"data too big", "UPDATE transfers SET data = zeroblob(16777217) WHERE seq = 4", true,
     "transfer 4: size is out of range", 4},
    {"data as text", "UPDATE transfers SET data = 'abc' WHERE seq = 1", true,
     "transfer 1: data is not a blob", 1},
    {"t_ns as text", "UPDATE transfers SET t_ns = 'soon' WHERE seq = 3", true,
     "transfer 3: t_ns is not an integer", 3},
    {"code too wide", "UPDATE transfers SET code = 4294967296 WHERE seq = 5", true,
     "transfer 5: code is out of range", 5},
    {"boundary 2", "UPDATE transfers SET boundary = 2 WHERE seq = 6", true,
     "transfer 6: boundary is out of range", 6},
};

void PrintTo(const Hostile &h, std::ostream *os) {
    *os << h.name;
}

class RecHostile : public RecFile, public ::testing::WithParamInterface<Hostile> {};

TEST_P(RecHostile, RefusedOrReadUpToTheDamage) {
    const Hostile &h = GetParam();
    Sample().write(path_);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char *err = nullptr;
    const int rc = sqlite3_exec(db, h.sql, nullptr, nullptr, &err);
    const std::string why = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << why;

    Reader r;
    ASSERT_EQ(r.open(path_), h.opens) << r.error();
    std::vector<Transfer> got;
    if (h.opens) {
        const bool ok = read_all(r, got, 2);
        EXPECT_EQ(ok, h.readable == SIZE_MAX) << r.error();
        if (h.readable != SIZE_MAX) {
            EXPECT_EQ(got.size(), h.readable);
        }
        for (size_t i = 1; i < r.events().size(); ++i)
            EXPECT_LE(r.events()[i - 1].transfer, r.events()[i].transfer);
    }
    EXPECT_NE(r.error().find(h.message), std::string::npos) << r.error();
}

INSTANTIATE_TEST_SUITE_P(Files, RecHostile, ::testing::ValuesIn(kHostile), [](const auto &info) {
    std::string n = info.param.name;
    for (char &c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
});

// A recording cut short: refused, or read up to the cut.
TEST_F(RecFile, TruncatedFile) {
    Sample().write(path_);
    const Bytes whole = read_file(path_);
    ASSERT_GT(whole.size(), 8192u);
    const size_t cuts[] = {1,
                           99,
                           100,
                           101,
                           512,
                           4095,
                           4096,
                           4097,
                           whole.size() / 3,
                           whole.size() / 2,
                           whole.size() - 4096,
                           whole.size() - 1};
    const std::string cut_path = dir_ + "/cut.kvrec";
    for (const size_t cut : cuts) {
        SCOPED_TRACE(cut);
        write_file(cut_path, Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        Reader r;
        std::vector<Transfer> got;
        const bool damage_found = !r.open(cut_path) || !read_all(r, got);
        EXPECT_FALSE(r.error().empty() && damage_found);
        if (cut <= whole.size() / 2) {
            EXPECT_TRUE(damage_found);
        }
    }
}

// Random byte changes anywhere in the file: any result but a crash.
TEST_F(RecFile, FlippedBytes) {
    Sample().write(path_);
    const Bytes whole = read_file(path_);
    ASSERT_FALSE(whole.empty());
    std::mt19937 rng(12345);
    int opened = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes b = whole;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i)
            b[rng() % b.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        Reader r;
        if (!r.open_image(b)) {
            EXPECT_FALSE(r.error().empty());
            continue;
        }
        ++opened;
        std::vector<Transfer> got;
        read_all(r, got, 4);
        EXPECT_LE(got.size(), r.transfer_count());
        EXPECT_LE(r.frames().size(), kMaxFrames);
    }
    EXPECT_GT(opened, 0) << "flips in the transfers' bytes leave the file readable";
}

}  // namespace
