// Frame nodes and the two lists that hold them: the producer's assembly
// list and the bounded output list. A small pool recycles nodes so that
// large frames do not fault in fresh pages for every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "kavri/types.h"

namespace kavri::stream {

// Frame bytes begin on a cache line boundary: the copies into a node and out
// of it then store and load whole lines instead of splitting every vector
// across two.
inline constexpr size_t kNodeAlign = 64;

// One heap block per frame: header fields, then `capacity` data bytes.
struct alignas(kNodeAlign) FrameNode {
    FrameNode *next = nullptr;
    FrameNode *prev = nullptr;
    kv_stream_frame_info_t info{};
    uint32_t filled = 0;
    uint32_t capacity = 0;
    uint64_t t_ns = 0;  // monotonic time the piece completing the frame arrived

    uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
    bool full() const { return filled == capacity; }
    uint32_t room() const { return capacity - filled; }
};

// Oldest-first doubly linked list of frames.
class FrameQueue {
  public:
    FrameQueue() = default;
    FrameQueue(const FrameQueue &) = delete;
    FrameQueue &operator=(const FrameQueue &) = delete;

    bool empty() const { return head_ == nullptr; }
    uint32_t size() const { return count_; }
    FrameNode *front() const { return head_; }
    FrameNode *back() const { return tail_; }
    void push_back(FrameNode *n);
    FrameNode *pop_front();
    FrameNode *pop_back();
    // Whether the leading run of full frames is longer than `keep`.
    bool has_full_beyond(uint32_t keep) const;
    // Moves the leading run of full frames, but for the last `keep` of them,
    // to the end of `dst`; returns how many moved.
    uint32_t move_full_to(FrameQueue &dst, uint32_t keep);

  private:
    FrameNode *head_ = nullptr;
    FrameNode *tail_ = nullptr;
    uint32_t count_ = 0;
};

// Allocates and releases frame nodes; keeps a few released nodes of a
// modest size for reuse. Safe to use from producer and consumer at once.
class NodePool {
  public:
    static constexpr size_t kMaxPooled = 4;
    static constexpr uint32_t kMaxPooledCapacity = 8u << 20;  // larger nodes go back to the heap

    NodePool() = default;
    NodePool(const NodePool &) = delete;
    NodePool &operator=(const NodePool &) = delete;
    ~NodePool();

    // A node with room for `capacity` bytes, filled 0; nullptr when memory is short.
    FrameNode *acquire(uint32_t capacity);
    void release(FrameNode *n);
    void release_all(FrameQueue &q);
    void set_recycling(bool on);

  private:
    std::mutex mu_;
    FrameNode *free_[kMaxPooled] = {};
    size_t nfree_ = 0;
    bool recycle_ = true;
};

// Raw allocator behind every node (memory aligned to kNodeAlign, bytes a
// multiple of it); tests swap it to provoke allocation failures.
using NodeAllocFn = void *(*)(size_t bytes);
void set_node_allocator(NodeAllocFn fn);  // nullptr restores the default allocation

}  // namespace kavri::stream
