// A tavrin daemon mounted for one test: a temporary base directory and mount
// point, the daemon in the foreground in its own process group with its
// standard output and standard error going to files. Whatever happens to the
// test, the mount is undone and the daemon reaped when the owner goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "injection/catalogue.h"
#include "support/capture.h"

// Options that make the kernel send every request: caches off.
extern const std::vector<std::string> NO_CACHES;

// How to start the daemon.
struct mount_settings {
    std::vector<std::string> options = NO_CACHES;
    std::string rules;            // written to the base directory when not empty
    unsigned seed = 1;
    std::vector<std::string> launcher;  // words that come before tavrin's, if any
};

class mounted {
public:
    explicit mounted(std::vector<std::string> options = NO_CACHES,
                     const std::string &rules = "", unsigned seed = 1)
        : mounted(mount_settings{std::move(options), rules, seed, {}}) {}
    explicit mounted(const mount_settings &settings);
    ~mounted();
    mounted(const mounted &) = delete;
    mounted &operator=(const mounted &) = delete;

    // The base directory and the mount point, or a name inside each.
    const std::string &base() const { return base_.path(); }
    const std::string &mount() const { return mount_.path(); }
    std::string base(const std::string &name) const { return base_ / name; }
    std::string at(const std::string &name) const { return mount_ / name; }

    // Unmounts with fusermount -u and returns the daemon's wait status.
    int unmount();
    // Sends the daemon a signal and returns its wait status.
    int stop_with(int signal);
    pid_t daemon_pid() const { return daemon_; }

    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    // Standard error is appended to, so a load whose skip lines would fill a
    // disk can empty the file now and then and still keep what came last.
    const std::string &err_path() const { return err_path_; }

private:
    void start(std::vector<std::string> argv);
    void clean_up();

    temp_dir work_;
    temp_dir base_;
    temp_dir mount_;
    std::string out_path_;
    std::string err_path_;
    pid_t daemon_ = -1;
};

// What one tavrin run that does not mount prints and how it ends.
struct run_result {
    int status = -1;  // wait status
    std::string out;
    std::string err;
};

// Runs tavrin with these arguments (after the program name) to its end.
run_result run_tavrin(const std::vector<std::string> &arguments,
                      std::chrono::seconds bound = std::chrono::seconds(20));

// Runs work in a forked child and returns its wait status; the child's
// result is its exit code. A child still running after the bound is killed.
int in_child(const std::function<int()> &work,
             std::chrono::seconds bound = std::chrono::seconds(20));

// Waits for pid, a child of ours, within the bound; kills it past the bound.
int reap(pid_t pid, std::chrono::milliseconds bound);

bool is_mounted(const std::string &mount_point);

// In a forked child: runs argv[0] with these arguments, or ends the child
// with failure_status when it cannot.
[[noreturn]] void exec_or_exit(const std::vector<std::string> &argv, int failure_status);

// Whether error is one that an errno rule may give operation op.
bool in_errno_list(fs_op op, int error);
