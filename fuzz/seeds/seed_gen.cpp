// Writes the seed corpus of one fuzz target into a folder:
//   fuzz_seed_gen <stream|param|zip|cmd|lens|frame_file|calib_pkg|rec> <folder>
// Seeds are made here, from the formats' own rules, not copied from anywhere.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cmd_script.h"
#include "fuzz_wire.h"
#include "param/param_builder.h"
#include "param/zip_builder.h"
#include "rec/rec_file.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Corpus = std::vector<Bytes>;

Bytes pattern(size_t n, uint8_t salt) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + salt);
    return b;
}

// Stream seeds: [flags][max_frames][split seed x2] + a camera stream.
struct StreamBuilder {
    uint16_t sidx = 0, fridx = 0;
    Bytes out;
    void frame(uint32_t frlen, uint32_t chunk, bool sum) {
        const Bytes f = pattern(frlen, static_cast<uint8_t>(fridx));
        for (uint32_t off = 0; off < frlen; off += chunk) {
            kvfuzz::ChunkSpec c;
            c.sidx = sidx++;
            c.frlen = frlen;
            c.fridx = fridx;
            c.frame_start = off == 0;
            c.with_sum = sum;
            c.desc[0] = 0x00F00140;  // 320 x 240
            kvfuzz::append_chunk(out, c, f.data() + off, std::min(chunk, frlen - off));
        }
        ++fridx;
    }
    void packed(uint32_t frlen, uint32_t count, bool sum) {
        const Bytes f = pattern(size_t(frlen) * count, 7);
        kvfuzz::ChunkSpec c;
        c.sidx = sidx++;
        c.frlen = frlen;
        c.fridx = fridx;
        c.frame_start = true;
        c.with_sum = sum;
        kvfuzz::append_chunk(out, c, f.data(), static_cast<uint32_t>(f.size()));
        fridx = static_cast<uint16_t>(fridx + count);
    }
    Bytes seed(uint8_t flags, uint8_t max_frames, uint16_t split) const {
        Bytes s{flags, max_frames, static_cast<uint8_t>(split), static_cast<uint8_t>(split >> 8)};
        s.insert(s.end(), out.begin(), out.end());
        return s;
    }
};

Corpus stream_seeds() {
    Corpus c;
    {
        StreamBuilder b;
        for (int i = 0; i < 3; ++i) b.frame(256, 256, true);
        c.push_back(b.seed(0, 4, 1));
    }
    {
        StreamBuilder b;
        for (int i = 0; i < 3; ++i) b.frame(600, 200, false);
        c.push_back(b.seed(1, 2, 2));
    }
    {
        StreamBuilder b;
        b.packed(100, 3, true);
        b.packed(100, 3, false);
        c.push_back(b.seed(0, 8, 3));
    }
    {  // garbage, a lost middle chunk, a wrong data sum, wrap of the indexes
        StreamBuilder b;
        b.out = pattern(50, 3);
        b.out.push_back(kvfuzz::kSync0);
        b.sidx = 65534;
        b.fridx = 65535;
        b.frame(300, 100, true);
        const size_t cut = b.out.size();
        b.frame(300, 100, true);
        b.out.erase(b.out.begin() + static_cast<long>(cut + 136),
                    b.out.begin() + static_cast<long>(cut + 272));
        b.frame(128, 128, true);
        b.out[b.out.size() - 5] ^= 0x40;
        b.frame(128, 64, false);
        c.push_back(b.seed(0, 1, 4));
        c.push_back(b.seed(1, 0, 5));
    }
    return c;
}

Corpus param_seeds() {
    using namespace kavri::param::test;
    Corpus c;
    c.push_back(build_file(two_block_spec(150)));
    c.push_back(build_file(two_block_spec(120)));  // legacy layout
    FileSpec one;
    one.blocks.push_back({KAVRI_PARAM_UNIT_CALIB, calib_block(12000000, 200, 0x33)});
    c.push_back(build_file(one));
    FileSpec none;
    c.push_back(build_file(none));
    return c;
}

Corpus zip_seeds() {
    using namespace kavri::param::test;
    Corpus c;
    c.push_back(build_zip({zip_file("kavri_param_1.bin", pattern(300, 1)),
                           zip_file("kavri_param_lens_1.txt", Bytes{'1', ' ', '2', '\n'})}));
    c.push_back(build_zip({zip_dir("sub/"), zip_file("sub/a.bin", pattern(100, 2)),
                           zip_symlink("sub/link", "a.bin")}));
    c.push_back(build_zip({zip_file("../escape.bin", pattern(10, 3))}));
    c.push_back(build_zip({zip_symlink("out", "/tmp")}));
    return c;
}

Corpus cmd_seeds() {
    using namespace kvfuzz::cmd;
    Corpus c;
    c.push_back({kParamGet, 2, kParamGet, 3, kRegRead, 1, 4, 0, kRegWrite, 1, 2, 8});
    c.push_back(
        {kFault, kFaultShort, 2, 10, kParamGet, 12, kFault, kFaultMismatch, 0, kParamSet, 12, 30});
    c.push_back({kFault, kFaultBusy, 2, kRegWrite, 1, 8, 0, kFault, kFaultFail, 0, 'n', 'o', 0,
                 kParamGet, 1});
    c.push_back({kSetParam, 3, 8,         'E', '2',    '-',        'x', 0,           0,
                 0,         0, kParamGet, 3,   kFault, kFaultHang, 0,   kParamBatch, 2,
                 2,         5, kRawCmd,   0,   0xB0,   0,          0,   63});
    return c;
}

Bytes text(const std::string &t) {
    return Bytes(t.begin(), t.end());
}

Corpus lens_seeds() {
    return {text("157.262 122.083 210.783 204.817 -0.378924 0.145035 -0.000970854 "
                 "6.20728e-05 -0.0133954 320 240\n"),
            text("160 120 200 200 0 0 0 0 0 320 240"),
            text("1e308 -1e308 nan inf 0 0 0 0 0 64 48\n"),
            text("160 120 200 200 0 0 0 0 0 320\n")};
}

// [buffer size selector] + a frame file: header line, then the values.
Bytes frame_file(uint8_t sel, const std::string &header, uint32_t w, uint32_t h, uint32_t bytes) {
    Bytes f{sel};
    const std::string line = header + "," + std::to_string(w) + "," + std::to_string(h) + "\n";
    f.insert(f.end(), line.begin(), line.end());
    const Bytes values = pattern(size_t(w) * h * bytes, 5);
    f.insert(f.end(), values.begin(), values.end());
    return f;
}

Corpus frame_file_seeds() {
    return {frame_file(2, "KV_DIST,F32", 4, 3, 4), frame_file(3, "KV_DIST,U32", 8, 2, 4),
            frame_file(1, "KV_DIST,U16", 5, 5, 2), frame_file(2, "KV_GRAY,U16", 4, 4, 2),
            frame_file(3, "KV_GRAY,U8", 16, 2, 1)};
}

// [flags][valid][type][timestamp][package size][payload size] + payload.
Bytes package(uint8_t flags, uint8_t type, const Bytes &payload) {
    Bytes p{flags, 1, type};
    uint8_t word[4];
    for (uint32_t v : {1234u, 0xFFFFFFFFu, 0xFFFFFFFFu}) {
        kvfuzz::put32(word, v);
        p.insert(p.end(), word, word + 4);
    }
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Corpus calib_pkg_seeds() {
    using namespace kavri::param::test;
    const Bytes file = build_file(two_block_spec(150));
    return {package(0, 0, file), package(1, 0, file),
            package(0, 1, build_zip({zip_file("kavri_param_1.bin", file)})),
            package(1, 1, build_zip({zip_file("../x.bin", file)}))};
}

// Recording seeds: small recordings made by the writer itself, rewritten
// with 512-byte pages so that each is a few kilobytes, and damaged copies.
struct RecSeeds {
    std::string dir;
    int n = 0;

    RecSeeds() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kv_rec_seed_XXXXXX").string();
        if (mkdtemp(tmpl.data()) != nullptr) dir = tmpl;
    }
    ~RecSeeds() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }

    static kavri::rec::Transfer transfer(uint64_t seq, uint32_t frames, size_t size, int32_t code) {
        kavri::rec::Transfer t;
        t.seq = seq;
        t.t_ns = static_cast<int64_t>(seq) * 33000000;
        t.code = code;
        t.frames = frames;
        t.boundary = frames > 0 && size > 0;
        t.data = pattern(size, static_cast<uint8_t>(seq));
        return t;
    }

    // A recording of `transfers` transfers, two per frame, with events.
    std::string write(uint32_t transfers, bool finish) {
        using namespace kavri::rec;
        const std::string path = dir + "/r" + std::to_string(n++);
        Identity id;
        id.product = "TOF-320";
        id.ident = "ID 00ab";
        id.uid[0] = 0x5A;
        id.version = {1, 2, 3, 4};
        id.located = 1;
        id.library_version = "1.0.0";
        const std::vector<StoredFile> files{{"kavri_param_1.bin", "calibration", pattern(64, 1)},
                                            {"lens.txt", "lens", text("1 2 3\n")}};
        std::vector<ParamValue> params(2);
        params[0].id = 3;
        params[0].item.param_id = 3;
        params[0].item.param_val_len = 2;
        params[1].id = 9;
        const std::vector<RegValue> regs{{1, 0x10, 0xBEEF}};
        Writer w;
        if (!w.create(path, id, files, params, regs)) return path;
        std::vector<Transfer> batch;
        for (uint32_t i = 0; i < transfers; ++i)
            batch.push_back(transfer(i, (i + 1) / 2, i % 5 == 4 ? 0 : 24 + i, i % 7 == 6 ? -7 : 0));
        std::vector<Event> events(2);
        events[0].kind = KAVRI_REC_EV_CAP_START;
        events[1].kind = KAVRI_REC_EV_PARAM_SET;
        events[1].transfer = transfers / 2;
        events[1].id = 3;
        events[1].value = {1, 2};
        w.write_batch(batch, events);
        if (finish) w.finish({1, 100, 0});
        return path;
    }

    static bool exec(const std::string &path, const std::string &sql) {
        sqlite3 *db = nullptr;
        bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }

    // The file with small pages; in WAL mode again when it was.
    static Bytes shrink(const std::string &path, bool wal, const std::string &damage = "") {
        exec(path, "PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;" + damage +
                       (wal ? "PRAGMA journal_mode=WAL;" : ""));
        std::ifstream f(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
};

Corpus rec_seeds() {
    RecSeeds r;
    Corpus c;
    if (r.dir.empty()) return c;
    c.push_back(RecSeeds::shrink(r.write(12, true), false));
    c.push_back(RecSeeds::shrink(r.write(5, false), true));
    c.push_back(RecSeeds::shrink(r.write(0, true), false));
    c.push_back(RecSeeds::shrink(r.write(6, true), false,
                                 "UPDATE meta SET value = 2 WHERE key = 'version';"));
    c.push_back(RecSeeds::shrink(r.write(8, true), false, "DELETE FROM transfers WHERE seq = 3;"));
    c.push_back(RecSeeds::shrink(r.write(8, true), false,
                                 "UPDATE transfers SET data = 'x', boundary = 3 WHERE seq = 2;"
                                 "UPDATE events SET transfer = 0 WHERE kind = 6;"));
    Bytes cut = c[0];
    cut.resize(cut.size() * 2 / 3);
    c.push_back(cut);
    Bytes flipped = c[0];
    for (size_t i = 100; i < flipped.size(); i += 997) flipped[i] ^= 0x5A;
    c.push_back(flipped);
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    const std::map<std::string, std::function<Corpus()>> gens = {{"stream", stream_seeds},
                                                                 {"param", param_seeds},
                                                                 {"zip", zip_seeds},
                                                                 {"cmd", cmd_seeds},
                                                                 {"lens", lens_seeds},
                                                                 {"frame_file", frame_file_seeds},
                                                                 {"calib_pkg", calib_pkg_seeds},
                                                                 {"rec", rec_seeds}};
    if (argc != 3 || !gens.count(argv[1])) {
        std::fprintf(stderr,
                     "usage: %s <stream|param|zip|cmd|lens|frame_file|calib_pkg|rec> <folder>\n",
                     argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[2]);
    const Corpus corpus = gens.at(argv[1])();
    for (size_t i = 0; i < corpus.size(); ++i) {
        const std::string path = std::string(argv[2]) + "/seed_" + std::to_string(i);
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) return 1;
        std::fwrite(corpus[i].data(), 1, corpus[i].size(), f);
        std::fclose(f);
    }
    return 0;
}
