// libFuzzer target: a rule file and a run of checks against it. The input is
// the rule file, a NUL byte, then checks of four parts each: an operation
// byte, a transfer size byte (read and write move 16 times as many bytes
// from offset 0 of a file that size), a path length byte, the path. Every
// check must end with a verdict the operations understand (0, INJECT_SKIP or
// a negated errno from the operation's list or the rule's own), and nothing
// may crash, leak or hang.
// Kills aim at the fuzzer's own pid, which the hook refuses to signal;
// slowdowns are cut to a microsecond. Run it with -close_fd_mask=3.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "injection/hook.h"
#include "scratch_rule_file.h"

// The requester is the fuzzer itself: process and uid filters read a real
// /proc entry, and kill rules reach the guard that spares the daemon.
int requester_pid()
{
    return getpid();
}

uint32_t requester_uid()
{
    return 0;
}

uint32_t requester_gid()
{
    return 0;
}

bool requester_in_group(uint32_t)
{
    return false;
}

namespace {

bool allowed(int32_t verdict, fs_op op)
{
    if (verdict == 0 || verdict == INJECT_SKIP)
        return true;
    if (verdict >= 0 || verdict <= -512)
        return false;
    return !(op == OP_LOCK && verdict == -EINTR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end_of_rules = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t rules_size = end_of_rules ? static_cast<size_t>(end_of_rules - data) : size;
    const std::string &path = write_rule_file(data, rules_size);

    mount_state.config_path = path;
    mount_state.quiet = rules_size % 2;
    mount_state.rules = rule_set_load(path.c_str(), mount_state.quiet != 0);
    if (mount_state.rules)
        for (injection_rule &rule : mount_state.rules->rules)
            rule.duration = rule.duration > 1000 ? 1000 : rule.duration;
    srand(1);

    size_t at = rules_size + 1;
    while (mount_state.rules && at + 3 <= size) {
        const fs_op op = static_cast<fs_op>(data[at] % FS_OP_COUNT);
        const uint64_t transfer = 16u * data[at + 1];
        const size_t length = data[at + 2];
        at += 3;
        const std::string check_path(reinterpret_cast<const char *>(data + at),
                                     length < size - at ? length : size - at);
        at += check_path.size();
        // A check of the rule file's path would re-read it, uncut.
        if (check_path.c_str() == path)
            continue;
        data_request request;
        request.length = op == OP_READ || op == OP_WRITE ? transfer : 0;
        request.new_size = static_cast<int64_t>(transfer / 2);
        request.current_size = [transfer] { return static_cast<int64_t>(transfer); };
        if (!allowed(injection_check(check_path.c_str(), op, request), op))
            abort();
        std::string buffer(request.length, 'x');
        injection_corrupt(request, check_path.c_str(), buffer.data(),
                          static_cast<size_t>(std::min<uint64_t>(request.move, request.length)), 0);
    }
    rule_set_free(std::move(mount_state.rules));
    return 0;
}
