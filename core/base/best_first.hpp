// A stable best-first order of scored items, well defined for any scores.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace velmorquist {

template <class Item>
struct Scored {
    double score;
    Item item;
};

// Stable merge sort, best first. std::stable_sort needs a strict weak order,
// which "NaN equals everything" is not; a merge that takes from the right run
// only when strictly greater stays well defined and stable for any scores.
template <class Item>
void sort_best_first(std::vector<Scored<Item>>& items) {
    const std::size_t size = items.size();
    if (size < 2) return;
    std::vector<Scored<Item>> buffer(size);
    Scored<Item>* from = items.data();
    Scored<Item>* to = buffer.data();
    for (std::size_t width = 1; width < size; width *= 2) {
        for (std::size_t low = 0; low < size; low += 2 * width) {
            const std::size_t middle = std::min(low + width, size);
            const std::size_t high = std::min(low + 2 * width, size);
            std::size_t left = low;
            std::size_t right = middle;
            std::size_t out = low;
            while (left < middle && right < high)
                to[out++] = from[right].score > from[left].score ? from[right++] : from[left++];
            while (left < middle) to[out++] = from[left++];
            while (right < high) to[out++] = from[right++];
        }
        std::swap(from, to);
    }
    if (from != items.data()) std::copy(from, from + size, items.data());
}

}  // namespace velmorquist
