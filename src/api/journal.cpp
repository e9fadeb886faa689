// The settings journal of a device (journal.h).
#include "api/journal.h"

#include <algorithm>
#include <cstring>

#include "core/log_internal.h"

namespace kavri::api {

void Journal::put(Entry e) {
    std::lock_guard lock(mutex_);
    // A setting made again moves to the end: what came after the first one
    // may depend on the second (a register block after a mode change). A
    // register block replaces only blocks it covers whole: of one it covers
    // in part, the rest still holds what was written.
    const auto replaced = [&](const Entry &o) {
        if (o.kind != e.kind || o.id != e.id) return false;
        if (e.kind != Kind::regs) return true;
        return o.base >= e.base && o.base + o.values.size() <= e.base + e.values.size();
    };
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), replaced), entries_.end());
    if (entries_.size() >= kMaxEntries) {
        if (!warned_)
            KV_WRN("[%s] more than %zu settings: the oldest are not given back after a reconnect\n",
                   "kavri_journal", kMaxEntries);
        warned_ = true;
        entries_.erase(entries_.begin());
    }
    entries_.push_back(std::move(e));
}

void Journal::note_params(const kavri_param_item_t *items, int count) {
    if (items == nullptr) return;
    for (int i = 0; i < count; ++i) {
        Entry e;
        e.kind = Kind::param;
        // The camera sees the low byte only: that is the parameter written.
        e.id = items[i].param_id & 0xFFu;
        e.param_len = items[i].param_val_len;
        e.bytes.assign(items[i].param_val, items[i].param_val + KAVRI_PARAM_WIRE_VAL_SIZE);
        put(std::move(e));
    }
}

void Journal::note_regs(uint8_t target, uint32_t base, const uint32_t *values, uint16_t count) {
    if (values == nullptr || count == 0) return;
    Entry e;
    e.kind = Kind::regs;
    e.id = target;
    e.base = base;
    e.values.assign(values, values + count);
    put(std::move(e));
}

void Journal::note_filter(int filter_id, bool on, const void *arg, uint32_t arg_size) {
    Entry e;
    e.kind = Kind::filter;
    e.id = static_cast<uint32_t>(filter_id);
    e.on = on;
    if (on && arg != nullptr && arg_size > 0) {
        const auto *b = static_cast<const uint8_t *>(arg);
        e.bytes.assign(b, b + arg_size);
    }
    put(std::move(e));
}

std::vector<Journal::Entry> Journal::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

}  // namespace kavri::api
