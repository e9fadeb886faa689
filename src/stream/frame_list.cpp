// Frame node allocation, recycling and the intrusive frame list.
#include "stream/frame_list.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace kavri::stream {

namespace {

std::atomic<NodeAllocFn> g_node_alloc{nullptr};

FrameNode *new_node(uint32_t capacity) {
    const size_t bytes = (sizeof(FrameNode) + capacity + kNodeAlign - 1) / kNodeAlign * kNodeAlign;
    NodeAllocFn fn = g_node_alloc.load(std::memory_order_relaxed);
    void *mem = fn ? fn(bytes) : std::aligned_alloc(kNodeAlign, bytes);
    if (mem == nullptr) return nullptr;
    auto *n = new (mem) FrameNode;
    n->capacity = capacity;
    return n;
}

void delete_node(FrameNode *n) {
    n->~FrameNode();
    std::free(n);
}

}  // namespace

void set_node_allocator(NodeAllocFn fn) {
    g_node_alloc.store(fn, std::memory_order_relaxed);
}

void FrameQueue::push_back(FrameNode *n) {
    n->next = nullptr;
    n->prev = tail_;
    if (tail_) {
        tail_->next = n;
    } else {
        head_ = n;
    }
    tail_ = n;
    ++count_;
}

FrameNode *FrameQueue::pop_front() {
    FrameNode *n = head_;
    if (!n) return nullptr;
    head_ = n->next;
    if (head_) {
        head_->prev = nullptr;
    } else {
        tail_ = nullptr;
    }
    n->next = nullptr;
    --count_;
    return n;
}

FrameNode *FrameQueue::pop_back() {
    FrameNode *n = tail_;
    if (!n) return nullptr;
    tail_ = n->prev;
    if (tail_) {
        tail_->next = nullptr;
    } else {
        head_ = nullptr;
    }
    n->prev = nullptr;
    --count_;
    return n;
}

bool FrameQueue::has_full_beyond(uint32_t keep) const {
    uint32_t full = 0;
    for (const FrameNode *n = head_; n && n->full(); n = n->next)
        if (++full > keep) return true;
    return false;
}

uint32_t FrameQueue::move_full_to(FrameQueue &dst, uint32_t keep) {
    uint32_t full = 0;
    for (const FrameNode *n = head_; n && n->full(); n = n->next) ++full;
    const uint32_t moving = full > keep ? full - keep : 0;
    for (uint32_t i = 0; i < moving; ++i) dst.push_back(pop_front());
    return moving;
}

NodePool::~NodePool() {
    for (size_t i = 0; i < nfree_; ++i) delete_node(free_[i]);
}

FrameNode *NodePool::acquire(uint32_t capacity) {
    {
        std::lock_guard lock(mu_);
        while (nfree_ > 0) {
            FrameNode *n = free_[--nfree_];
            if (n->capacity == capacity) {
                n->filled = 0;
                n->next = nullptr;
                n->prev = nullptr;
                return n;
            }
            delete_node(n);  // the frame size changed: old nodes are of no use
        }
    }
    return new_node(capacity);
}

void NodePool::release(FrameNode *n) {
    if (!n) return;
    {
        std::lock_guard lock(mu_);
        if (recycle_ && nfree_ < kMaxPooled && n->capacity <= kMaxPooledCapacity) {
            free_[nfree_++] = n;
            return;
        }
    }
    delete_node(n);
}

void NodePool::release_all(FrameQueue &q) {
    while (FrameNode *n = q.pop_front()) release(n);
}

void NodePool::set_recycling(bool on) {
    std::lock_guard lock(mu_);
    recycle_ = on;
}

}  // namespace kavri::stream
