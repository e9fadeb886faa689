// The settings an application made through the interface since a device was
// opened: parameter writes, register writes and filter switches, in the order
// they were made, so that a camera that comes back can be given them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kavri/types.h"

namespace kavri::api {

class Journal {
  public:
    enum class Kind : uint8_t { param, regs, filter };

    struct Entry {
        Kind kind = Kind::param;
        uint32_t id = 0;    // parameter id, register target or filter id
        uint64_t base = 0;  // first register (registers only)
        bool on = false;    // filter switched on (filters only)
        uint8_t param_len = 0;
        std::vector<uint8_t> bytes;    // parameter value or filter argument
        std::vector<uint32_t> values;  // register values
    };

    // At most this many settings are kept; past it the oldest are forgotten
    // (with one warning), since an application that writes ever new
    // register blocks would otherwise grow the journal without bound.
    static constexpr size_t kMaxEntries = 4096;

    void note_params(const kavri_param_item_t *items, int count);
    void note_regs(uint8_t target, uint32_t base, const uint32_t *values, uint16_t count);
    void note_filter(int filter_id, bool on, const void *arg, uint32_t arg_size);

    // The settings in the order to replay them: the latest of each
    // parameter and filter, placed where it was made last, and the register
    // blocks that a later block does not cover whole, in their order.
    std::vector<Entry> entries() const;

  private:
    void put(Entry e);

    mutable std::mutex mutex_;  // guards entries_; a leaf of the lock order
    std::vector<Entry> entries_;
    bool warned_ = false;  // guarded by mutex_
};

}  // namespace kavri::api
