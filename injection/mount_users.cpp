// Who uses the mount, from /proc.
#include "mount_users.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct mount_identity {
    std::string id;      // mnt_id, as fdinfo shows it
    std::string device;  // major:minor, as maps shows it (in hex there)
    unsigned major = 0, minor = 0;
    bool found = false;
};

// The kernel's listing escapes blanks, tabs, newlines and backslashes.
std::string escaped(const std::string &path)
{
    std::string text;
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[8];
            snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(c));
            text += octal;
        } else {
            text += c;
        }
    }
    return text;
}

// The newest mount at mount_point.
mount_identity identify(const std::string &mount_point)
{
    mount_identity mount;
    std::ifstream info("/proc/self/mountinfo");
    const std::string wanted = escaped(mount_point);
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point != wanted)
            continue;
        mount.id = id;
        mount.device = device;
        mount.found = sscanf(device.c_str(), "%u:%u", &mount.major, &mount.minor) == 2;
    }
    return mount;
}

bool under(const std::string &path, const std::string &mount_point)
{
    return path == mount_point ||
           (path.compare(0, mount_point.size(), mount_point) == 0 &&
            path.size() > mount_point.size() && path[mount_point.size()] == '/');
}

std::string link_of(const std::string &path)
{
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

bool holds_a_file(const std::string &proc, const mount_identity &mount)
{
    DIR *fds = opendir((proc + "/fdinfo").c_str());
    if (fds == nullptr)
        return false;
    bool holds = false;
    while (const dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream info(proc + "/fdinfo/" + entry->d_name);
        for (std::string line; std::getline(info, line);)
            if (line.compare(0, 7, "mnt_id:") == 0) {
                holds = strtoul(line.c_str() + 7, nullptr, 10) == strtoul(mount.id.c_str(), nullptr, 10);
                break;
            }
        if (holds)
            break;
    }
    closedir(fds);
    return holds;
}

bool maps_a_file(const std::string &proc, const mount_identity &mount)
{
    char device[32];
    snprintf(device, sizeof device, "%02x:%02x", mount.major, mount.minor);
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, dev;
        fields >> range >> perms >> offset >> dev;
        if (dev == device)
            return true;
    }
    return false;
}

}  // namespace

bool is_mount_point(const std::string &mount_point)
{
    return identify(mount_point).found;
}

std::size_t kill_mount_users(const std::string &mount_point, pid_t spare)
{
    const mount_identity mount = identify(mount_point);
    if (!mount.found)
        return 0;
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return 0;
    std::size_t killed = 0;
    const pid_t self = getpid();
    while (const dirent *entry = readdir(processes)) {
        char *end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self || pid == spare)
            continue;
        const std::string proc = std::string("/proc/") + entry->d_name;
        if (!under(link_of(proc + "/cwd"), mount_point) &&
            !under(link_of(proc + "/root"), mount_point) && !holds_a_file(proc, mount) &&
            !maps_a_file(proc, mount))
            continue;
        if (kill(static_cast<pid_t>(pid), SIGKILL) == 0)
            ++killed;
        else
            fprintf(stderr, "power cut: cannot kill %ld: %s\n", pid, strerror(errno));
    }
    closedir(processes);
    return killed;
}
