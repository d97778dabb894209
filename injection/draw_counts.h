// The counts keyed draws are made from: for each rule, operation and path
// below the base directory, how many checks visited that rule for that
// operation on that path since the load. A check finds its operation and
// path once, in one of many shards, and then counts each rule it visits
// with an atomic addition of its own, so that checks of different files
// side by side do not wait for each other.
//
// The exact counts stop growing at MAX_DRAW_KEYS (rule, operation, path)
// keys; later keys share SHARED_DRAW_COUNTS counters by hash, so their
// replay holds only where the work on the keys sharing a counter comes in
// the same order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

constexpr std::size_t MAX_DRAW_KEYS = 1 << 18;
constexpr std::size_t SHARED_DRAW_COUNTS = 1 << 16;

class draw_counts {
public:
    using slots = std::atomic<uint64_t>[];

    // The counts of every rule of a set of rule_count rules for one operation
    // on one path, made at its first check; none when the exact counts are
    // full and there is none yet. They live as long as the set.
    std::atomic<uint64_t> *find(uint64_t path_hash, uint64_t op, std::size_t rule_count);

    // What picks a key's counter among the shared ones.
    struct shared_key {
        uint64_t rule_hash, path_hash, op;
    };

    // The number of earlier visits of a rule (its slot among found, or none)
    // for the operation and path found was found for, and this visit counted.
    uint64_t take(std::atomic<uint64_t> *found, std::size_t rule_index, const shared_key &key);

private:
    static constexpr std::size_t SHARDS = 64;
    // A slot of a key whose count is one of the shared ones.
    static constexpr uint64_t SHARED = uint64_t{1} << 63;

    // Open addressing, probed from the key's low bits: a lookup reads one
    // cell where a node-based map chased two or three pointers, each a miss.
    struct cell {
        uint64_t key = 0;  // 0: empty
        std::unique_ptr<slots> counts;
    };
    struct alignas(64) shard {
        std::mutex mutex;
        std::vector<cell> cells;  // a power of two of them, at most half full
        std::size_t used = 0;
    };

    static cell &place_of(std::vector<cell> &cells, uint64_t key);

    uint64_t take_shared(const shared_key &key);

    shard shards_[SHARDS];
    std::atomic<std::size_t> keys_{0};  // the exact (rule, operation, path) keys
    std::once_flag shared_made_;
    std::unique_ptr<slots> shared_;
};
