// The per-stream bookkeeping behind the opaque pointers of oni_stream_t.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct oni_prop_table {
    // Property names are remembered by their first kMaxKeyLength characters.
    static constexpr size_t kMaxKeyLength = 48;
    std::unordered_map<std::string, int64_t> last_pos;

    // Remembers that the property's newest record starts at `pos` and returns
    // where its previous record started (0 for the first one).
    int64_t exchange(std::string_view name, int64_t pos) {
        auto [it, added] = last_pos.try_emplace(std::string(name.substr(0, kMaxKeyLength)), pos);
        if (added) return 0;
        const int64_t previous = it->second;
        it->second = pos;
        return previous;
    }
};

struct oni_seek_list {
    struct Entry {
        uint64_t timestamp;
        uint32_t config_id;
        int64_t pos;  // start of the frame's new-data record
    };
    std::vector<Entry> entries;
};
