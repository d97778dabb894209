// The standard-output lines that rules of several kinds share.
#include "report.h"

#include <string>

void report_errno(int error, nlohmann::json &event)
{
    printf("errno '%s'\n", strerror(error));
    const char *name = strerrorname_np(error);
    event["errno"] = name != nullptr ? name : std::to_string(error);
}

void report_cut(uint64_t to, uint64_t from, nlohmann::json &event)
{
    printf("transfer cut to %llu of %llu bytes\n", static_cast<unsigned long long>(to),
           static_cast<unsigned long long>(from));
    event["cut"] = {{"to", to}, {"of", from}};
}
