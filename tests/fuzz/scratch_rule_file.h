// The rule file a fuzz target writes each input to: one scratch file per
// process, made once, rewritten with every input.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline const std::string &scratch_rule_file()
{
    static const std::string path = [] {
        char templ[] = "/tmp/tavrin-fuzz.XXXXXX";
        const int fd = mkstemp(templ);
        if (fd == -1)
            abort();
        close(fd);
        return std::string(templ);
    }();
    return path;
}

// Puts the bytes in the scratch file and returns its path.
inline const std::string &write_rule_file(const void *bytes, size_t size)
{
    const std::string &path = scratch_rule_file();
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    fwrite(bytes, 1, size, file);
    fclose(file);
    return path;
}
