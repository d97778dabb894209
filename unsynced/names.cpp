// The record of name changes and their undo.
#include "names.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <tuple>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

const char *const names_model_names[3] = {"synced", "journal", "durable"};
const char NAMES_HIDDEN_DIR[] = ".tavrin-unsynced";

namespace {

// Says the hidden directory is tavrin's, so that a leftover is known as one.
const char OWNER_MARK[] = "tavrin";

// A directory by device, inode and generation: a directory removed through
// the mount ends its generation, so that a new one that is given the same
// inode number is another directory.
struct dir_id {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t generation = 0;
    bool operator<(const dir_id &other) const
    {
        return std::tie(dev, ino, generation) < std::tie(other.dev, other.ino, other.generation);
    }
    bool operator==(const dir_id &other) const
    {
        return dev == other.dev && ino == other.ino && generation == other.generation;
    }
};

struct name_change {
    uint64_t id = 0;
    name_change_kind kind = NAME_CREATE;
    std::string path, target;
    std::vector<dir_id> dirs;  // the directories it changed
    bool kept = false;         // the hidden directory holds what it removed, as "<id>"
    bool replaced_dir = false; // a rename over an empty directory, or an rmdir:
    mode_t mode = 0;           // the directory's mode and owner
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t seq = 0;          // when it was made, among changes and syncs
    bool cancelled = false;    // undone by a later change before it was durable
    uint64_t cancels = 0;      // an unlink or rmdir: the seq of the change it cancels
    dev_t removed_dev = 0;     // with replaced_dir: the directory it removes
    ino_t removed_ino = 0;
};

struct names_state {
    std::mutex mutex;
    std::atomic<bool> present{false};  // the hidden directory is there
    bool recording = false;
    int failed = 0;  // recording could not start: every change is refused with it
    names_model model = NAMES_SYNCED;
    int base_fd = -1;
    int hidden_fd = -1;
    uint64_t next_id = 1;
    uint64_t next_seq = 1;
    uint64_t last_sync = 0;            // seq of the last sync of anything
    std::map<uint64_t, name_change> preparing;
    std::vector<name_change> pending;  // in the order they were made
    std::size_t cancelled = 0;         // of pending
    // The pending create or mkdir that is still the latest change naming a
    // path, by path: its unlink or rmdir cancels both, with nothing to keep
    // (a temporary file made and removed costs no link).
    std::unordered_map<std::string, uint64_t> fresh;
    std::map<std::pair<dev_t, ino_t>, uint64_t> generations;  // of directories removed
};

names_state names;

std::string parent_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

dir_id identity(const struct stat &st)
{
    const auto found = names.generations.find({st.st_dev, st.st_ino});
    return {st.st_dev, st.st_ino, found == names.generations.end() ? 0 : found->second};
}

bool directory_of(const std::string &path, dir_id &id)
{
    struct stat st;
    if (fstatat(names.base_fd, parent_of(path).c_str(), &st, 0) != 0)
        return false;
    id = identity(st);
    return true;
}

std::string kept_name(uint64_t id)
{
    return std::to_string(id);
}

void drop_kept(const name_change &change)
{
    if (change.kept)
        unlinkat(names.hidden_fd, kept_name(change.id).c_str(), 0);
}

name_change *pending_by_seq(uint64_t seq)
{
    const auto at = std::lower_bound(
        names.pending.begin(), names.pending.end(), seq,
        [](const name_change &change, uint64_t wanted) { return change.seq < wanted; });
    return at != names.pending.end() && at->seq == seq ? &*at : nullptr;
}

// A change naming path (or a path below it) ends the freshness of path and
// of every directory above it.
void no_longer_fresh(std::string path)
{
    if (names.fresh.empty())
        return;
    while (!path.empty() && path != ".") {
        names.fresh.erase(path);
        path = parent_of(path);
    }
}

void compact()
{
    if (names.cancelled * 2 < names.pending.size() + 64)
        return;
    names.pending.erase(std::remove_if(names.pending.begin(), names.pending.end(),
                                       [](const name_change &change) { return change.cancelled; }),
                        names.pending.end());
    names.cancelled = 0;
}

// Everything below name in dir, and name itself.
void remove_tree(int dir_fd, const char *name)
{
    if (unlinkat(dir_fd, name, 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    const int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return;
    DIR *stream = fdopendir(fd);
    if (stream == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> entries;
    while (const dirent *entry = readdir(stream))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            entries.emplace_back(entry->d_name);
    for (const std::string &entry : entries)
        remove_tree(dirfd(stream), entry.c_str());
    closedir(stream);
    unlinkat(dir_fd, name, AT_REMOVEDIR);
}

// Marks durable the pending changes the model says a sync made durable, and
// every earlier change that shares a directory with one (a directory's
// entries are written in order); lets them go.
void let_go_durable(const std::set<dir_id> &synced_dirs)
{
    std::set<dir_id> forced;
    std::vector<bool> durable(names.pending.size());
    for (std::size_t i = names.pending.size(); i-- > 0;) {
        const name_change &change = names.pending[i];
        if (change.cancelled) {
            durable[i] = true;
            continue;
        }
        bool is_durable = false;
        for (const dir_id &dir : change.dirs)
            is_durable = is_durable || synced_dirs.count(dir) != 0 || forced.count(dir) != 0;
        if (is_durable) {
            durable[i] = true;
            forced.insert(change.dirs.begin(), change.dirs.end());
        }
    }
    std::vector<name_change> still;
    for (std::size_t i = 0; i < names.pending.size(); ++i) {
        if (!durable[i])
            still.push_back(std::move(names.pending[i]));
        else if (names.pending[i].kind == NAME_CREATE || names.pending[i].kind == NAME_MKDIR)
            names.fresh.erase(names.pending[i].path);
        if (durable[i])
            drop_kept(names.pending[i]);
    }
    names.pending.swap(still);
    names.cancelled = 0;
}

void forget_all()
{
    for (const name_change &change : names.pending)
        drop_kept(change);
    for (const auto &[id, change] : names.preparing)
        drop_kept(change);
    names.pending.clear();
    names.preparing.clear();
    names.fresh.clear();
    names.generations.clear();  // no change refers to a directory any more
    names.cancelled = 0;
}

void say(const char *what, const std::string &path)
{
    fprintf(stderr, "power cut: cannot %s %s: %s\n", what, path.c_str(), strerror(errno));
}

// Brings a kept entry back at path, never over one that is there.
void bring_back(const name_change &change, const std::string &path)
{
    if (renameat2(names.hidden_fd, kept_name(change.id).c_str(), names.base_fd, path.c_str(),
                  RENAME_NOREPLACE) != 0)
        say("bring back", path);
}

void remake_dir(const name_change &change, const std::string &path)
{
    if (mkdirat(names.base_fd, path.c_str(), change.mode & 07777) != 0) {
        say("bring back", path);
        return;
    }
    if (fchownat(names.base_fd, path.c_str(), change.uid, change.gid, AT_SYMLINK_NOFOLLOW) != 0 ||
        fchmodat(names.base_fd, path.c_str(), change.mode & 07777, 0) != 0)
        say("restore the owner and mode of", path);
}

void undo(const name_change &change)
{
    switch (change.kind) {
    case NAME_CREATE:
        if (unlinkat(names.base_fd, change.path.c_str(), 0) != 0)
            say("remove", change.path);
        break;
    case NAME_MKDIR:  // with everything in it, which was never reachable
        remove_tree(names.base_fd, change.path.c_str());
        break;
    case NAME_UNLINK:
        bring_back(change, change.path);
        break;
    case NAME_RMDIR:
        remake_dir(change, change.path);
        break;
    case NAME_RENAME:
        if (renameat2(names.base_fd, change.target.c_str(), names.base_fd, change.path.c_str(),
                      RENAME_NOREPLACE) != 0) {
            say("rename back", change.target);
            break;
        }
        if (change.kept)
            bring_back(change, change.target);
        else if (change.replaced_dir)
            remake_dir(change, change.target);
        break;
    }
}

int make_hidden_dir()
{
    // Start-up removed a leftover of ours: one there now is someone else's.
    if (mkdirat(names.base_fd, NAMES_HIDDEN_DIR, 0700) != 0)
        return -errno;
    names.hidden_fd = openat(names.base_fd, NAMES_HIDDEN_DIR,
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (names.hidden_fd == -1)
        return -errno;
    const int mark = openat(names.hidden_fd, OWNER_MARK, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (mark == -1) {
        const int error = errno;
        close(names.hidden_fd);
        names.hidden_fd = -1;
        return -error;
    }
    close(mark);
    names.present = true;
    return 0;
}

}  // namespace

int names_clear_leftover(int base_fd)
{
    struct stat st;
    if (fstatat(base_fd, NAMES_HIDDEN_DIR, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    const std::string mark = std::string(NAMES_HIDDEN_DIR) + "/" + OWNER_MARK;
    if (!S_ISDIR(st.st_mode) || fstatat(base_fd, mark.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -EEXIST;
    remove_tree(base_fd, NAMES_HIDDEN_DIR);
    return 0;
}

int names_start(int base_fd, names_model model)
{
    const std::lock_guard<std::mutex> held(names.mutex);
    if (names.recording && names.base_fd == base_fd) {
        names.model = std::min(names.model, model);
        return names.failed;
    }
    names.base_fd = base_fd;
    names.model = model;
    names.recording = true;
    names.failed = make_hidden_dir();
    return names.failed;
}

void names_stop()
{
    const std::lock_guard<std::mutex> held(names.mutex);
    if (!names.present && !names.recording)
        return;
    const bool ours = names.present;
    forget_all();
    names.recording = false;
    names.failed = 0;
    names.present = false;
    if (names.hidden_fd != -1)
        close(names.hidden_fd);
    names.hidden_fd = -1;
    if (ours)
        remove_tree(names.base_fd, NAMES_HIDDEN_DIR);
}

bool names_recording()
{
    const std::lock_guard<std::mutex> held(names.mutex);
    return names.recording;
}

bool names_hidden(const char *path)
{
    if (!names.present)
        return false;
    const std::size_t length = sizeof NAMES_HIDDEN_DIR - 1;
    return strncmp(path, NAMES_HIDDEN_DIR, length) == 0 &&
           (path[length] == '\0' || path[length] == '/');
}

int names_prepare(name_change_kind kind, const char *path, const char *target,
                  name_change_ticket &ticket)
{
    ticket = {};
    const std::lock_guard<std::mutex> held(names.mutex);
    if (!names.recording)
        return 0;
    if (names.failed != 0)
        return names.failed;  // no change of names is ever made unrecorded
    try {
        name_change change;
        change.id = names.next_id++;
        change.kind = kind;
        change.path = path;
        if (target != nullptr)
            change.target = target;
        dir_id dir;
        for (const std::string *name : {&change.path, &change.target}) {
            if (name->empty())
                continue;
            if (!directory_of(*name, dir))
                return 0;  // no such directory: the host call fails on its own
            if (std::find(change.dirs.begin(), change.dirs.end(), dir) == change.dirs.end())
                change.dirs.push_back(dir);
        }
        // A create or mkdir still pending and still the latest change of its
        // path is cancelled with its removal: nothing to keep.
        if (kind == NAME_UNLINK || kind == NAME_RMDIR) {
            const auto fresh = names.fresh.find(change.path);
            name_change *made = fresh == names.fresh.end() ? nullptr : pending_by_seq(fresh->second);
            if (made != nullptr && !made->cancelled &&
                made->kind == (kind == NAME_UNLINK ? NAME_CREATE : NAME_MKDIR)) {
                made->cancelled = true;
                ++names.cancelled;
                change.cancels = made->seq;
                ticket.recorded = true;
                ticket.id = change.id;
                names.preparing.emplace(change.id, std::move(change));
                return 0;
            }
        }
        // What the change removes is kept until the change is durable.
        struct stat st;
        if (kind == NAME_UNLINK) {
            if (linkat(names.base_fd, change.path.c_str(), names.hidden_fd,
                       kept_name(change.id).c_str(), 0) != 0)
                // Nothing there, or a directory: the host call fails on its own.
                return errno == ENOENT || errno == EPERM || errno == ENOTDIR ? 0 : -errno;
            change.kept = true;
        } else if ((kind == NAME_RMDIR || kind == NAME_RENAME) &&
                   fstatat(names.base_fd, (kind == NAME_RENAME ? change.target : change.path).c_str(),
                           &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode)) {
                change.replaced_dir = true;
                change.removed_dev = st.st_dev;
                change.removed_ino = st.st_ino;
                change.mode = st.st_mode;
                change.uid = st.st_uid;
                change.gid = st.st_gid;
            } else if (kind == NAME_RENAME) {
                if (linkat(names.base_fd, change.target.c_str(), names.hidden_fd,
                           kept_name(change.id).c_str(), 0) != 0)
                    return -errno;
                change.kept = true;
            }
        } else if (kind == NAME_RMDIR) {
            return 0;  // nothing there: the host call fails on its own
        }
        ticket.recorded = true;
        ticket.id = change.id;
        names.preparing.emplace(change.id, std::move(change));
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    return 0;
}

void names_finish(const name_change_ticket &ticket, bool made)
{
    if (!ticket.recorded)
        return;
    const std::lock_guard<std::mutex> held(names.mutex);
    const auto found = names.preparing.find(ticket.id);
    if (found == names.preparing.end())
        return;  // a cut came between: it let the change go
    name_change change = std::move(found->second);
    names.preparing.erase(found);
    if (change.cancels != 0) {
        name_change *cancelled = pending_by_seq(change.cancels);
        if (made)
            names.fresh.erase(change.path);
        else if (cancelled != nullptr && cancelled->cancelled) {
            cancelled->cancelled = false;
            --names.cancelled;
        }
        compact();
        return;
    }
    if (!made) {
        drop_kept(change);
        return;
    }
    change.seq = names.next_seq++;
    if (change.replaced_dir)  // the directory is gone: its inode number may come back
        ++names.generations[{change.removed_dev, change.removed_ino}];
    no_longer_fresh(change.path);
    no_longer_fresh(change.target);
    if (change.kind == NAME_CREATE || change.kind == NAME_MKDIR)
        names.fresh[change.path] = change.seq;
    names.pending.push_back(std::move(change));
}

void names_synced(int dir_fd)
{
    const std::lock_guard<std::mutex> held(names.mutex);
    if (!names.recording)
        return;
    names.last_sync = names.next_seq++;
    std::set<dir_id> synced_dirs;
    struct stat st;
    if (dir_fd != -1 && fstat(dir_fd, &st) == 0)
        synced_dirs.insert(identity(st));
    if (names.model == NAMES_JOURNAL) {
        for (const name_change &change : names.pending)
            drop_kept(change);
        names.pending.clear();
        names.fresh.clear();
        names.cancelled = 0;
        return;
    }
    if (!synced_dirs.empty())
        let_go_durable(synced_dirs);
}

void names_sync_all()
{
    const std::lock_guard<std::mutex> held(names.mutex);
    for (const name_change &change : names.pending)
        drop_kept(change);
    names.pending.clear();
    names.fresh.clear();
    names.cancelled = 0;
}

std::size_t names_undo(names_model model, uint32_t persist,
                       const std::function<uint64_t()> &draw)
{
    const std::lock_guard<std::mutex> held(names.mutex);
    std::vector<const name_change *> lost;
    if (names.recording && model != NAMES_DURABLE) {
        for (const name_change &change : names.pending)
            if (!change.cancelled && (model == NAMES_SYNCED || change.seq > names.last_sync))
                lost.push_back(&change);
        // A journal commits in order: what is kept is a prefix.
        std::size_t kept = 0;
        while (persist > 0 && kept < lost.size() && draw() % 100 < persist)
            ++kept;
        lost.erase(lost.begin(), lost.begin() + static_cast<std::ptrdiff_t>(kept));
        for (auto change = lost.rbegin(); change != lost.rend(); ++change)
            undo(**change);
    }
    const std::size_t undone = lost.size();
    forget_all();
    return undone;
}

std::size_t names_pending()
{
    const std::lock_guard<std::mutex> held(names.mutex);
    return names.pending.size() - names.cancelled;
}
