// Short transfers, corruption and the full disk's room.
#include "data_faults.h"

#include <fcntl.h>
#include <linux/falloc.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "check.h"
#include "hook.h"
#include "report.h"
#include "trace/trace.h"

namespace {

// Room given back never wraps around to nothing.
void give_back(injection_rule &rule, uint64_t bytes)
{
    rule.room = bytes > UINT64_MAX - rule.room ? UINT64_MAX : rule.room + bytes;
}

}  // namespace

const char *cannot_act(const injection_rule &rule, fs_op op, const data_request &request)
{
    const bool transfer = op == OP_READ || op == OP_WRITE;
    switch (rule.kind) {
    case ERRINJ_SHORT:
        return transfer && request.length >= 2 ? nullptr : "cannot be shortened";
    case ERRINJ_CORRUPT:
        return transfer && request.length >= 1 ? nullptr : "moves no data";
    case ERRINJ_FULL_DISK:
        switch (op) {
        case OP_WRITE: case OP_TRUNCATE: case OP_FTRUNCATE: case OP_UNLINK: case OP_STATFS:
        case OP_FALLOCATE:
        case OP_CREAT: case OP_MKDIR: case OP_MKNOD: case OP_SYMLINK: case OP_LINK:
            return nullptr;
        default:
            return "takes no room";
        }
    case ERRINJ_WRITEBACK:
        return op == OP_FSYNC ? nullptr : "does not sync";
    default:
        return nullptr;
    }
}

// The room of every full-disk rule, which checks side by side spend.
std::mutex room_mutex;

room_decision spend_room(injection_rule &rule, fs_op op, data_request &request)
{
    const std::lock_guard<std::mutex> held(room_mutex);
    room_decision decision;
    const auto size_now = [&] { return request.current_size ? request.current_size() : -1; };
    switch (op) {
    case OP_WRITE: {
        const int64_t size = size_now();
        const uint64_t end = request.offset + request.length;
        if (size < 0 || end <= static_cast<uint64_t>(size))
            return decision;
        if (end - static_cast<uint64_t>(size) <= rule.room) {
            rule.room -= end - static_cast<uint64_t>(size);
            return decision;
        }
        // Writes what still fits, or nothing at all.
        const uint64_t limit = static_cast<uint64_t>(size) + rule.room;
        if (limit <= request.offset) {
            decision.error = ENOSPC;
        } else {
            decision.cut = limit - request.offset;
            rule.room = 0;
        }
        return decision;
    }
    case OP_TRUNCATE:
    case OP_FTRUNCATE: {
        const int64_t size = size_now();
        if (size < 0 || request.new_size < 0)
            return decision;
        if (request.new_size <= size)
            give_back(rule, static_cast<uint64_t>(size - request.new_size));
        else if (static_cast<uint64_t>(request.new_size - size) > rule.room)
            decision.error = ENOSPC;
        else
            rule.room -= static_cast<uint64_t>(request.new_size - size);
        return decision;
    }
    case OP_UNLINK: {
        const int64_t freed = size_now();
        if (freed > 0)
            give_back(rule, static_cast<uint64_t>(freed));
        return decision;
    }
    case OP_STATFS:
        request.room = std::min(request.room, rule.room);
        return decision;
    case OP_FALLOCATE: {
        // What a preallocation reserves past the end (also with KEEP_SIZE),
        // or an inserted range adds; a punch or a collapse takes none.
        const int mode = request.fallocate_mode;
        if (mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_COLLAPSE_RANGE))
            return decision;
        const int64_t size = size_now();
        const uint64_t end = request.offset + request.length;
        uint64_t reserved = 0;
        if (mode & FALLOC_FL_INSERT_RANGE)
            reserved = request.length;
        else if (size >= 0 && end > static_cast<uint64_t>(size))
            reserved = end - static_cast<uint64_t>(size);
        if (reserved > rule.room)
            decision.error = ENOSPC;
        else
            rule.room -= reserved;
        return decision;
    }
    default:  // what makes a new entry
        if (rule.room == 0)
            decision.error = ENOSPC;
        return decision;
    }
}

// One draw for the length: from 1 to one less than asked, or to bytes.
void shorten(const injection_rule &rule, check_state &check)
{
    data_request &request = check.request;
    uint64_t most = request.length - 1;
    if (rule.bytes && *rule.bytes > 0 && *rule.bytes < most)
        most = *rule.bytes;
    const uint64_t length = 1 + check.draws.next(DRAW_LENGTH) % most;
    request.move = std::min(request.move, length);
    report_cut(length, request.length, check.event);
}

// A draw per altered byte for where, and one more for what (flip, random).
void plan_corruption(const injection_rule &rule, check_state &check)
{
    data_request &request = check.request;
    data_request::corruption corruption{rule.name, rule.mode, {}, {}};
    const uint64_t count = std::min<uint64_t>(rule.bytes.value_or(1), request.length);
    for (uint64_t i = 0; i < count; ++i) {
        corruption.places.push_back(static_cast<uint32_t>(check.draws.next(DRAW_PLACE)));
        if (rule.mode == CORRUPT_FLIP)
            corruption.values.push_back(static_cast<uint32_t>(check.draws.next(DRAW_VALUE) % 8));
        else if (rule.mode == CORRUPT_RANDOM)
            corruption.values.push_back(
                static_cast<uint32_t>(1 + check.draws.next(DRAW_VALUE) % 255));
    }
    request.corruptions.push_back(std::move(corruption));
}

void injection_corrupt(const data_request &request, const char *path, char *buf,
                       std::size_t n, uint64_t offset)
{
    if (n == 0 || request.corruptions.empty())
        return;
    // Each byte once, across all the rules that fired: a bit flipped twice
    // would be no flip at all. When a short transfer has no byte left, later
    // rules alter none.
    std::vector<bool> altered(n);
    std::size_t unaltered = n;
    const hook_lock_guard held(mount_state.lock, mount_state.keyed_draws);
    const check_lines lines(mount_state.keyed_draws);
    for (const data_request::corruption &corruption : request.corruptions) {
        std::vector<uint64_t> offsets;
        for (std::size_t i = 0; i < corruption.places.size() && unaltered > 0; ++i, --unaltered) {
            std::size_t at = corruption.places[i] % n;
            while (altered[at])
                at = (at + 1) % n;
            altered[at] = true;
            const unsigned byte = static_cast<unsigned char>(buf[at]);
            switch (corruption.mode) {
            case CORRUPT_FLIP:
                buf[at] = static_cast<char>(byte ^ (1u << corruption.values[i]));
                break;
            case CORRUPT_ZERO:
                buf[at] = 0;
                break;
            case CORRUPT_RANDOM:  // values are 1 to 255: the byte always changes
                buf[at] = static_cast<char>(byte ^ corruption.values[i]);
                break;
            }
            offsets.push_back(offset + at);
        }
        std::sort(offsets.begin(), offsets.end());
        std::string list;
        for (const uint64_t at : offsets)
            list += (list.empty() ? "" : ", ") + std::to_string(at);
        if (offsets.empty())
            engine_print("%s altered no offsets of %s\n", corruption.rule.c_str(), path);
        else
            engine_print("%s altered offsets %s of %s\n", corruption.rule.c_str(), list.c_str(), path);
        if (trace_enabled()) {
            nlohmann::json event = {{"event", "corrupt"}, {"rule", corruption.rule},
                                    {"offsets", offsets}};
            trace_text(event, "path", path);
            trace_write(std::move(event));
        }
    }
}
