// The faults that act on data and room: short transfers, corruption and the
// full disk. A data_request tells the rules what a read, write, truncate,
// unlink or statfs is about to do; they decide during the check and the
// operation carries out what they decided (corruption after the host call,
// since only then are the bytes there).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "rules.h"

struct data_request {
    uint64_t offset = 0;
    uint64_t length = 0;      // bytes asked by a read or write
    int64_t new_size = -1;    // truncate, ftruncate
    int fallocate_mode = 0;   // fallocate: FALLOC_FL_* (offset and length give its range)
    // The file's size now, or -1; asked only by a full-disk rule. For
    // unlink, the room the removal gives back (0 while other links remain).
    std::function<int64_t()> current_size;

    // Decided by the check.
    uint64_t move = UINT64_MAX;  // bytes to move at most
    struct corruption {
        std::string rule;               // the rule's name, for the report
        corrupt_mode mode;
        std::vector<uint32_t> places;   // a draw per altered byte: where
        std::vector<uint32_t> values;   // and, flip or random, what
    };
    std::vector<corruption> corruptions;
    uint64_t room = UINT64_MAX;  // statfs: the least room a full disk has left
    bool written_all = false;    // a skipped write reports every byte written
    int fd = -1;                 // fsync: the handle's descriptor, for a failed write-back
};

// Alters the n bytes at buf, which stand at offset in the file, as the
// request's corruptions say, and reports the offsets altered.
void injection_corrupt(const data_request &request, const char *path, char *buf,
                       std::size_t n, uint64_t offset);

struct check_state;

// Why a rule of a data kind (or a write-back) cannot act on this operation,
// or none.
const char *cannot_act(const injection_rule &rule, fs_op op, const data_request &request);

// What a full-disk rule does to an operation it governs: spends room or
// gives it back, and says whether the operation fails or moves less.
struct room_decision {
    int error = 0;
    uint64_t cut = UINT64_MAX;
};
room_decision spend_room(injection_rule &rule, fs_op op, data_request &request);

// One draw for the length: from 1 to one less than asked, or to bytes.
void shorten(const injection_rule &rule, check_state &check);

// A draw per altered byte for where, and one more for what (flip, random).
void plan_corruption(const injection_rule &rule, check_state &check);
