// Turns the benchmark's raw measurements into the table of medians.
//
//   tavrin_bench_summary RAW.csv SUMMARY.csv > table.md
//
// RAW.csv rows: round,workload,target,operations,seconds,bytes,cpu_seconds.
// For each workload and target: the median rate (ops/s, or MB/s where bytes
// move), its spread over the rounds ((max - min) / median), the ratio to the
// pass-through example with the same write size and to native, and the
// daemon's CPU time per operation with its ratio to the pass-through's.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct samples {
    std::vector<double> rates;
    std::vector<double> cpu_per_op;  // microseconds
    bool bytes = false;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double spread(const std::vector<double> &values)
{
    const double middle = median(values);
    if (values.empty() || middle == 0)
        return 0;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return (*high - *low) / middle;
}

// The peer a target is compared with: the pass-through example mounted with
// the same big_writes setting.
std::string peer_of(const std::string &target)
{
    const bool big = target.size() > 3 && target.compare(target.size() - 3, 3, "-bw") == 0;
    return big ? "passthrough-bw" : "passthrough";
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tavrin_bench_summary RAW.csv SUMMARY.csv\n");
        return 2;
    }
    std::ifstream raw(argv[1]);
    std::map<std::string, std::map<std::string, samples>> table;  // workload -> target
    std::vector<std::string> workloads, targets;
    std::string line;
    while (std::getline(raw, line)) {
        std::istringstream fields(line);
        std::string round, workload, target, operations, seconds, bytes, cpu;
        std::getline(fields, round, ',');
        std::getline(fields, workload, ',');
        std::getline(fields, target, ',');
        std::getline(fields, operations, ',');
        std::getline(fields, seconds, ',');
        std::getline(fields, bytes, ',');
        std::getline(fields, cpu, ',');
        if (round == "round" || seconds.empty())
            continue;
        if (std::find(workloads.begin(), workloads.end(), workload) == workloads.end())
            workloads.push_back(workload);
        if (std::find(targets.begin(), targets.end(), target) == targets.end())
            targets.push_back(target);
        samples &s = table[workload][target];
        const double ops = std::stod(operations), secs = std::stod(seconds), moved = std::stod(bytes);
        s.bytes = moved > 0 && (workload.rfind("seq-", 0) == 0);
        s.rates.push_back(s.bytes ? moved / secs / 1e6 : ops / secs);
        if (!cpu.empty() && cpu != "-")
            s.cpu_per_op.push_back(std::stod(cpu) / ops * 1e6);
    }

    std::ofstream summary(argv[2]);
    summary << "workload,target,unit,median,spread,ratio_to_passthrough,ratio_to_native,"
               "cpu_us_per_op,cpu_ratio_to_passthrough\n";
    printf("| workload | target | median | spread | vs pass-through | vs native | daemon CPU/op | "
           "CPU vs pass-through |\n|---|---|---|---|---|---|---|---|\n");
    for (const std::string &workload : workloads) {
        auto &row = table[workload];
        const double native = median(row["native"].rates);
        for (const std::string &target : targets) {
            if (!row.count(target))
                continue;
            const samples &s = row[target];
            const double rate = median(s.rates);
            const double peer_rate = median(row[peer_of(target)].rates);
            const double cpu = median(s.cpu_per_op);
            const double peer_cpu = median(row[peer_of(target)].cpu_per_op);
            const char *unit = s.bytes ? "MB/s" : "ops/s";
            summary << workload << ',' << target << ',' << unit << ',' << rate << ','
                    << spread(s.rates) << ',' << (peer_rate ? rate / peer_rate : 0) << ','
                    << (native ? rate / native : 0) << ',' << cpu << ','
                    << (peer_cpu ? cpu / peer_cpu : 0) << '\n';
            char cpu_text[32] = "-", cpu_ratio[32] = "-";
            if (!s.cpu_per_op.empty()) {
                snprintf(cpu_text, sizeof cpu_text, "%.1f us", cpu);
                if (peer_cpu)
                    snprintf(cpu_ratio, sizeof cpu_ratio, "%.2f", cpu / peer_cpu);
            }
            printf("| %s | %s | %.0f %s | %.0f%% | %.2f | %.2f | %s | %s |\n", workload.c_str(),
                   target.c_str(), rate, unit, 100 * spread(s.rates),
                   peer_rate ? rate / peer_rate : 0, native ? rate / native : 0, cpu_text,
                   cpu_ratio);
        }
    }
    return 0;
}
