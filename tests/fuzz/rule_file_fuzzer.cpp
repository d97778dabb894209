// libFuzzer target: whatever bytes a rule file holds, loading it reports,
// builds and releases a rule set without a crash, a leak or undefined
// behaviour. Run it with -close_fd_mask=3, or its report lines flood the log.
#include <cstdint>
#include <string>

#include "injection/rules.h"
#include "scratch_rule_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string &path = write_rule_file(data, size);
    rule_set_free(rule_set_load(path.c_str()));
    return 0;
}
