// Where a check's draws come from: the one rand() sequence, or, under
// -draws=keyed, a hash of the seed, the rule, the operation, the path below
// the base directory, what the draw is for and n, the number of earlier
// checks of that rule for that operation on that path since the load.
// Keyed, a file that sees the same operations gets the same decisions
// however its work interleaves with other files'. The sequence needs the
// hook's lock held alone; keyed draws need none (draw_counts.h).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "catalogue.h"
#include "rules.h"

// What a draw is for; under -draws=keyed it is part of each key.
enum draw_purpose : uint64_t {
    DRAW_PROBABILITY,
    DRAW_ERRNO,
    DRAW_LENGTH,
    DRAW_PLACE,
    DRAW_VALUE,
    DRAW_BLOCK
};

class draw_source {
public:
    draw_source(const char *path, fs_op op, rule_set &set, bool keyed)
        : path_(path), op_(op), set_(set), keyed_(keyed)
    {
    }

    // A rule's visit begins: keyed, its n is taken and counted.
    void visit(const injection_rule &rule);

    uint64_t next(draw_purpose purpose);

    // A visit of a rule that cannot hit, whatever its draw, and whose draw
    // no line shows: the sequence still takes its one draw, so that later
    // checks draw as they would have; keyed, nothing is drawn or counted,
    // since a key (rule, operation, path) whose filters refuse it never
    // uses its draws.
    void pass_over()
    {
        if (!keyed_)
            rand();
    }

private:
    const char *path_;
    fs_op op_;
    rule_set &set_;
    bool keyed_;
    bool path_hashed_ = false;
    std::atomic<uint64_t> *counts_ = nullptr;  // this operation and path's, once hashed
    uint64_t path_hash_ = 0;
    uint64_t rule_hash_ = 0;
    uint64_t visit_count_ = 0;
    uint64_t index_[DRAW_BLOCK + 1] = {};
};
