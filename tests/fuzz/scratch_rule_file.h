// The rule file a fuzz target writes each input to: one scratch file per
// process, made once and unlinked at once, so that a fuzzer that ends in any
// way leaves nothing in /tmp; it is reached by its /proc/self/fd name and
// rewritten with every input.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline int scratch_rule_fd()
{
    static const int fd = [] {
        char templ[] = "/tmp/tavrin-fuzz.XXXXXX";
        const int made = mkstemp(templ);
        if (made == -1)
            abort();
        unlink(templ);
        return made;
    }();
    return fd;
}

// Puts the bytes in the scratch file and returns its path.
inline const std::string &write_rule_file(const void *bytes, size_t size)
{
    static const std::string path = "/proc/self/fd/" + std::to_string(scratch_rule_fd());
    const int fd = scratch_rule_fd();
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, bytes, size, 0) != static_cast<ssize_t>(size))
        abort();
    return path;
}
