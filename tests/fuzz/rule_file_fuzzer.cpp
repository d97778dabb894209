// libFuzzer target: whatever bytes a rule file holds, loading it reports,
// builds and releases a rule set without a crash, a leak or undefined
// behaviour. Run it with -close_fd_mask=3, or its report lines flood the log.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "injection/rules.h"

namespace {

std::string rule_file_path()
{
    char templ[] = "/tmp/tavrin-fuzz.XXXXXX";
    const int fd = mkstemp(templ);
    if (fd == -1)
        abort();
    close(fd);
    return templ;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = rule_file_path();
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    fwrite(data, 1, size, file);
    fclose(file);
    rule_set_free(rule_set_load(path.c_str()));
    return 0;
}
