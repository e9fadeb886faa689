// Median of any odd kernel: a sorted doubly linked list of the window's
// values with a pointer at the median, walked over the image in serpentine
// order so that each move replaces one window row or column.
#include <cstdint>
#include <cstdlib>

#include "filter_common.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

struct ListNode {
    ListNode *prev;  // the head's prev is the tail
    ListNode *next;  // null at the tail
    uint32_t value;
    int32_t col;  // window coordinates, may lie outside the image
    int32_t row;
};

struct MedianList {
    const uint16_t *src;
    int32_t width;
    int32_t height;
    int32_t kernel;
    ListNode **map;  // one slot per padded-grid position
    int32_t radius;
    int32_t balance;  // nodes after the median minus nodes before it
    ListNode *median;
    ListNode *head;
    int32_t count;
};

size_t slot(const MedianList &m, int col, int row) {
    const size_t padded_w = static_cast<size_t>(m.width) + 2u * static_cast<size_t>(m.radius);
    return static_cast<size_t>(row + m.radius) * padded_w + static_cast<size_t>(col + m.radius);
}

uint16_t value_at(const MedianList &m, int col, int row) {
    return m.src[static_cast<size_t>(clamp_index(row, m.height)) * static_cast<size_t>(m.width) +
                 static_cast<size_t>(clamp_index(col, m.width))];
}

void rebalance(MedianList &m) {
    if (m.balance == 2) {
        m.median = m.median->next;
        m.balance = 0;
    } else if (m.balance == -2) {
        m.median = m.median->prev;
        m.balance = 0;
    }
}

void link_before(MedianList &m, ListNode *node, ListNode *pos) {
    node->next = pos;
    node->prev = pos->prev;
    if (pos == m.head) {
        m.head = node;
    } else {
        pos->prev->next = node;
    }
    pos->prev = node;
}

void link_at_tail(MedianList &m, ListNode *node) {
    ListNode *tail = m.head->prev;
    tail->next = node;
    node->prev = tail;
    node->next = nullptr;
    m.head->prev = node;
}

void unlink(MedianList &m, ListNode *node) {
    if (node == m.head) {
        m.head = node->next;
        if (m.head != nullptr) m.head->prev = node->prev;
    } else {
        node->prev->next = node->next;
        if (node->next != nullptr) {
            node->next->prev = node->prev;
        } else {
            m.head->prev = node->prev;
        }
    }
}

// Inserts the value at window position (col, row) with `node`, or with a
// new node when none is given.
void _median2d_u16_add_val(MedianList &m, ListNode *node, int col, int row) {
    if (node == nullptr) {
        node = static_cast<ListNode *>(std::calloc(1, sizeof(ListNode)));
        if (node == nullptr) die_no_memory(__func__);
    }
    node->value = value_at(m, col, row);
    node->col = col;
    node->row = row;
    m.map[slot(m, col, row)] = node;
    ++m.count;
    if (m.head == nullptr) {
        node->prev = node;
        node->next = nullptr;
        m.head = node;
        m.median = node;
        m.balance = 0;
        return;
    }
    const uint32_t v = node->value;
    if (v < m.median->value) {
        --m.balance;
        ListNode *pos = m.head;
        while (pos->value <= v) pos = pos->next;  // the median itself is greater
        link_before(m, node, pos);
    } else {
        ++m.balance;
        ListNode *pos = m.median->next;
        while (pos != nullptr && pos->value <= v) pos = pos->next;
        if (pos != nullptr) {
            link_before(m, node, pos);
        } else {
            link_at_tail(m, node);
        }
    }
    rebalance(m);
}

// Takes the node at window position (col, row) out of the list; returns it
// for reuse (null when the slot is empty).
ListNode *remove_at(MedianList &m, int col, int row) {
    ListNode *&entry = m.map[slot(m, col, row)];
    ListNode *node = entry;
    if (node == nullptr) return nullptr;
    entry = nullptr;
    if (node == m.median) {
        --m.balance;
        m.median = node->next;
    } else if (node->value > m.median->value) {
        --m.balance;
    } else if (node->value < m.median->value) {
        ++m.balance;
    } else {
        bool after = false;
        for (ListNode *p = m.median->next; p != nullptr && p->value == m.median->value;
             p = p->next) {
            if (p == node) {
                after = true;
                break;
            }
        }
        m.balance += after ? -1 : 1;
    }
    unlink(m, node);
    --m.count;
    rebalance(m);
    return node;
}

void replace(MedianList &m, int old_col, int old_row, int new_col, int new_row) {
    ListNode *node = remove_at(m, old_col, old_row);
    _median2d_u16_add_val(m, node, new_col, new_row);
}

void move_right(MedianList &m, int x, int y) {
    for (int row = y - m.radius; row <= y + m.radius; ++row)
        replace(m, x - m.radius - 1, row, x + m.radius, row);
}

void move_left(MedianList &m, int x, int y) {
    for (int row = y - m.radius; row <= y + m.radius; ++row)
        replace(m, x + m.radius + 1, row, x - m.radius, row);
}

void move_down(MedianList &m, int x, int y) {
    for (int col = x - m.radius; col <= x + m.radius; ++col)
        replace(m, col, y - m.radius - 1, col, y + m.radius);
}

void free_list(MedianList &m) {
    ListNode *node = m.head;
    while (node != nullptr) {
        ListNode *next = node->next;
        std::free(node);
        node = next;
    }
    m.head = nullptr;
}

void median_sorted_list(uint16_t *dst, const uint16_t *src, int width, int height, int kernel) {
    auto *m = static_cast<MedianList *>(std::calloc(1, sizeof(MedianList)));
    if (m == nullptr) die_no_memory("kv_median2d_u16");
    m->src = src;
    m->width = width;
    m->height = height;
    m->kernel = kernel;
    m->radius = (kernel - 1) / 2;
    const size_t slots = (static_cast<size_t>(width) + 2u * static_cast<size_t>(m->radius)) *
                         (static_cast<size_t>(height) + 2u * static_cast<size_t>(m->radius));
    m->map = static_cast<ListNode **>(std::calloc(slots, sizeof(ListNode *)));
    if (m->map == nullptr) die_no_memory("kv_median2d_u16");

    const int r = m->radius;
    auto out = [&](int x, int y) {
        dst[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
            static_cast<uint16_t>(m->median->value);
    };
    for (int row = -r; row <= r; ++row)
        for (int col = -r; col <= r; ++col) _median2d_u16_add_val(*m, nullptr, col, row);
    out(0, 0);
    for (int x = 1; x < width; ++x) {
        move_right(*m, x, 0);
        out(x, 0);
    }
    int x = width - 1;
    for (int y = 1; y < height; ++y) {
        move_down(*m, x, y);
        out(x, y);
        const bool rightwards = (y % 2) == 0;
        if (rightwards) {
            for (x = 1; x < width; ++x) {
                move_right(*m, x, y);
                out(x, y);
            }
            x = width - 1;
        } else {
            for (x = width - 2; x >= 0; --x) {
                move_left(*m, x, y);
                out(x, y);
            }
            x = 0;
        }
    }
    free_list(*m);
    std::free(m->map);
    std::free(m);
}

}  // namespace
}  // namespace kavri::filter

extern "C" KAVRI_API void kv_median2d_u16(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int kernel) {
    using namespace kavri::filter;
    constexpr int kSmallKernel = 3;
    constexpr int kMidKernel = 5;
    if (kernel == kSmallKernel) return median2d_u16_k3(dst, src, width, height);
    if (kernel == kMidKernel) return median2d_u16_k5(dst, src, width, height);
    // Compared in 64 bits: twice a huge width must not wrap.
    const int64_t twice_w = 2 * static_cast<int64_t>(width);
    const int64_t twice_h = 2 * static_cast<int64_t>(height);
    if (dst == nullptr || src == nullptr || kernel % 2 == 0 || kernel <= 2 || kernel >= twice_w ||
        kernel >= twice_h) {
        KV_ERR("[%s]  wrong parameter:w/h/kernel=%d/%d/%d\n", __func__, width, height, kernel);
        return;
    }
    median_sorted_list(dst, src, width, height, kernel);
}
