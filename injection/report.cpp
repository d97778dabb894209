// The standard-output lines that rules of several kinds share.
#include "report.h"

#include <cstdarg>
#include <string>

#include "check.h"

namespace {

thread_local bool gathering = false;
thread_local std::string gathered;

}  // namespace

check_lines::check_lines(bool gather)
{
    gathering = gather;
}

check_lines::~check_lines()
{
    if (!gathered.empty())
        fwrite(gathered.data(), 1, gathered.size(), stdout);
    gathered.clear();
    gathering = false;
}

std::size_t engine_said()
{
    return gathered.size();
}

void engine_unsay(std::size_t said)
{
    if (said < gathered.size())
        gathered.resize(said);
}

void engine_print(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (!gathering) {
        vprintf(format, arguments);
        va_end(arguments);
        return;
    }
    char line[1024];
    va_list again;
    va_copy(again, arguments);
    const int length = vsnprintf(line, sizeof line, format, arguments);
    if (length >= static_cast<int>(sizeof line)) {
        std::string longer(static_cast<std::size_t>(length) + 1, '\0');
        vsnprintf(longer.data(), longer.size(), format, again);
        gathered.append(longer.data(), static_cast<std::size_t>(length));
    } else if (length > 0) {
        gathered.append(line, static_cast<std::size_t>(length));
    }
    va_end(again);
    va_end(arguments);
}

void report_errno(int error, nlohmann::json &event)
{
    engine_print("errno '%s'\n", strerror(error));
    const char *name = strerrorname_np(error);
    event["errno"] = name != nullptr ? name : std::to_string(error);
}

void report_cut(uint64_t to, uint64_t from, nlohmann::json &event)
{
    engine_print("transfer cut to %llu of %llu bytes\n", static_cast<unsigned long long>(to),
           static_cast<unsigned long long>(from));
    event["cut"] = {{"to", to}, {"of", from}};
}
