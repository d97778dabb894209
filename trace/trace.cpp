// Writing the trace file.
#include "trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

int trace_fd = -1;
timespec started = {};

uint64_t since_start()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec - started.tv_sec) * 1000000000ull +
           static_cast<uint64_t>(now.tv_nsec) - static_cast<uint64_t>(started.tv_nsec);
}

bool valid_utf8(const std::string &text)
{
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error &) {
        return false;
    }
}

std::string hex_of(const std::string &text)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// Every string under a key that is not valid UTF-8 moves to key + "_hex",
// as its bytes in lower-case hex, in this object and the ones inside it.
void hex_invalid_texts(nlohmann::json &value)
{
    if (value.is_array()) {
        for (nlohmann::json &element : value)
            hex_invalid_texts(element);
        return;
    }
    if (!value.is_object())
        return;
    std::vector<std::string> invalid;
    for (auto &[key, member] : value.items()) {
        if (member.is_string() && !valid_utf8(member.get_ref<const std::string &>()))
            invalid.push_back(key);
        else
            hex_invalid_texts(member);
    }
    for (const std::string &key : invalid) {
        value[key + "_hex"] = hex_of(value[key].get_ref<const std::string &>());
        value.erase(key);
    }
}

}  // namespace

bool trace_open(const char *path)
{
    trace_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    clock_gettime(CLOCK_MONOTONIC, &started);
    return trace_fd != -1;
}

bool trace_enabled()
{
    return trace_fd != -1;
}

void trace_close()
{
    if (trace_fd != -1)
        close(trace_fd);
    trace_fd = -1;
}

void trace_write(nlohmann::json event)
{
    if (trace_fd == -1)
        return;
    event["time_ns"] = since_start();
    std::string line;
    try {
        line = event.dump();
    } catch (const nlohmann::json::type_error &) {
        // A text that is not UTF-8 (a path is bytes): such texts go as hex,
        // found only now so that every other event is dumped once.
        hex_invalid_texts(event);
        line = event.dump();
    }
    line += '\n';
    const int saved_errno = errno;
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t wrote = write(trace_fd, line.data() + done, line.size() - done);
        if (wrote <= 0 && errno != EINTR)
            break;
        if (wrote > 0)
            done += static_cast<std::size_t>(wrote);
    }
    errno = saved_errno;
}

void trace_text(nlohmann::json &event, const char *key, const std::string &text)
{
    event[key] = text;
}
