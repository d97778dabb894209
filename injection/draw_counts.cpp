// Counting the visits keyed draws are made from.
#include "draw_counts.h"

#include <xxhash.h>

draw_counts::cell &draw_counts::place_of(std::vector<cell> &cells, uint64_t key)
{
    const std::size_t mask = cells.size() - 1;
    std::size_t at = key & mask;
    while (cells[at].key != 0 && cells[at].key != key)
        at = (at + 1) & mask;
    return cells[at];
}

std::atomic<uint64_t> *draw_counts::find(uint64_t path_hash, uint64_t op, std::size_t rule_count)
{
    uint64_t key = path_hash ^ (op * 0x9e3779b97f4a7c15u);
    key |= key == 0;  // 0 marks an empty cell
    shard &held = shards_[key >> 58];
    const std::lock_guard<std::mutex> lock(held.mutex);
    if (!held.cells.empty()) {
        cell &found = place_of(held.cells, key);
        if (found.key == key)
            return found.counts.get();
    }
    if (keys_.load() >= MAX_DRAW_KEYS)
        return nullptr;
    if (2 * (held.used + 1) > held.cells.size()) {
        std::vector<cell> larger(held.cells.empty() ? 64 : 2 * held.cells.size());
        for (cell &moved : held.cells)
            if (moved.key != 0)
                place_of(larger, moved.key) = std::move(moved);
        held.cells.swap(larger);
    }
    cell &made = place_of(held.cells, key);
    // Value-initialised: every slot starts at 0, a rule never visited here.
    made.counts.reset(new std::atomic<uint64_t>[rule_count]());
    made.key = key;
    ++held.used;
    return made.counts.get();
}

uint64_t draw_counts::take(std::atomic<uint64_t> *found, std::size_t rule_index,
                           const shared_key &key)
{
    if (found == nullptr)
        return take_shared(key);
    // 0: never visited; SHARED: counted among the shared; else the visits so far.
    std::atomic<uint64_t> &slot = found[rule_index];
    for (;;) {
        uint64_t now = slot.load();
        if (now == SHARED)
            return take_shared(key);
        if (now != 0)
            return slot.fetch_add(1);
        // The first visit of this key: it is exact while there is room.
        const bool exact = keys_.fetch_add(1) < MAX_DRAW_KEYS;
        if (!exact)
            keys_.fetch_sub(1);
        if (slot.compare_exchange_strong(now, exact ? 1 : SHARED))
            return exact ? 0 : take_shared(key);
        if (exact)
            keys_.fetch_sub(1);  // another check took the first visit
    }
}

uint64_t draw_counts::take_shared(const shared_key &key)
{
    std::call_once(shared_made_,
                   [this] { shared_.reset(new std::atomic<uint64_t>[SHARED_DRAW_COUNTS]()); });
    const uint64_t words[3] = {key.rule_hash, key.path_hash, key.op};
    return shared_[XXH3_64bits(words, sizeof words) % SHARED_DRAW_COUNTS].fetch_add(1);
}
