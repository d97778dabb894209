// What a file may hold after a power cut, given what it held at its last
// sync and at the cut, for the power-cut tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

constexpr std::size_t BLOCK = 4096;

struct modelled_file {
    int fd = -1;
    std::string synced;
    std::string current;
};

inline void apply(std::string &content, const std::string &data, std::size_t at)
{
    if (content.size() < at + data.size())
        content.resize(at + data.size(), '\0');
    content.replace(at, data.size(), data);
}

// After a cut with persist P, every block holds its synced content (zeros
// past the synced size) or its newest, and the size is the synced size or
// the end of a kept block beyond it.
inline ::testing::AssertionResult survived_as_allowed(const modelled_file &file, const std::string &now)
{
    const std::size_t synced_size = file.synced.size();
    if (now.size() != synced_size &&
        !(now.size() > synced_size && now.size() <= file.current.size() &&
          (now.size() == file.current.size() || now.size() % BLOCK == 0)))
        return ::testing::AssertionFailure() << "size " << now.size() << " from synced "
                                             << synced_size << ", newest " << file.current.size();
    for (std::size_t start = 0; start < now.size(); start += BLOCK) {
        const std::size_t end = std::min(start + BLOCK, now.size());
        std::string lost, newest = file.current.substr(std::min(start, file.current.size()),
                                                       end - start);
        newest.resize(end - start, '\0');
        for (std::size_t j = start; j < end; ++j)
            lost += j < synced_size ? file.synced[j] : '\0';
        const std::string got = now.substr(start, end - start);
        if (got != lost && got != newest)
            return ::testing::AssertionFailure() << "block at " << start << " is neither";
    }
    return ::testing::AssertionSuccess();
}

