#include "mounted.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

const std::vector<std::string> NO_CACHES = {
    "-o", "attr_timeout=0,entry_timeout=0,negative_timeout=0"};

namespace {

using namespace std::chrono_literals;

const auto MOUNT_BOUND = 10s;

// Starts a program in a process group of its own with its output in files.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path,
            const std::string &err_path)
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (in == -1 || out == -1 || err == -1)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    exec_or_exit(argv, 127);
}

int run_fusermount(const std::string &flags, const std::string &mount_point)
{
    const std::string command = "fusermount " + flags + " '" + mount_point + "' 2>/dev/null";
    return std::system(command.c_str());
}

}  // namespace

int reap(pid_t pid, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "process " << pid << " did not end in time";
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status;
}

bool is_mounted(const std::string &mount_point)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == mount_point)
            return true;
    }
    return false;
}

mounted::mounted(const mount_settings &settings)
    : out_path_(work_ / "stdout"),
      err_path_(work_ / "stderr")
{
    if (!settings.rules.empty())
        write_file(base("tavrin.conf"), settings.rules);
    std::vector<std::string> argv = settings.launcher;
    argv.insert(argv.end(), {TAVRIN_BINARY, mount(), "-basedir=" + base(),
                             "-seed=" + std::to_string(settings.seed), "-f"});
    argv.insert(argv.end(), settings.options.begin(), settings.options.end());
    start(std::move(argv));
}

void mounted::start(std::vector<std::string> argv)
{
    daemon_ = spawn(argv, out_path_, err_path_);

    const auto deadline = std::chrono::steady_clock::now() + MOUNT_BOUND;
    while (!is_mounted(mount())) {
        int status = 0;
        if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
            daemon_ = -1;
            throw std::runtime_error("tavrin ended before mounting: " + err());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            clean_up();
            throw std::runtime_error("tavrin did not mount in time");
        }
        std::this_thread::sleep_for(5ms);
    }
}

int mounted::unmount()
{
    if (daemon_ == -1)
        return -1;
    EXPECT_EQ(run_fusermount("-u", mount()), 0) << "fusermount -u failed";
    const int status = reap(daemon_, std::chrono::milliseconds(MOUNT_BOUND));
    daemon_ = -1;
    clean_up();
    return status;
}

int mounted::stop_with(int signal)
{
    if (daemon_ == -1)
        return -1;
    kill(daemon_, signal);
    const int status = reap(daemon_, std::chrono::milliseconds(MOUNT_BOUND));
    daemon_ = -1;
    clean_up();
    return status;
}

// The lazy unmount first, so that nothing blocks on a dead or stuck daemon.
void mounted::clean_up()
{
    if (is_mounted(mount()))
        run_fusermount("-uz", mount());
    if (daemon_ != -1) {
        kill(-daemon_, SIGTERM);
        reap(daemon_, 5000ms);
        daemon_ = -1;
    }
}

mounted::~mounted()
{
    clean_up();
}

run_result run_tavrin(const std::vector<std::string> &arguments, std::chrono::seconds bound)
{
    const temp_dir work;
    std::vector<std::string> argv = {TAVRIN_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const pid_t child = spawn(argv, work / "stdout", work / "stderr");
    run_result result;
    result.status = reap(child, bound);
    result.out = read_file(work / "stdout");
    result.err = read_file(work / "stderr");
    return result;
}

int in_child(const std::function<int()> &work, std::chrono::seconds bound)
{
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        _exit(work());
    }
    return reap(child, bound);
}

void exec_or_exit(const std::vector<std::string> &argv, int failure_status)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(failure_status);
}

bool in_errno_list(fs_op op, int error)
{
    const errno_list &list = errno_lists[op];
    return std::find(list.entries, list.entries + list.count, error) != list.entries + list.count;
}
