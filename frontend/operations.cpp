// The pass-through operations. Each asks the injection hook once, with its
// first argument and its own id, then forwards to the host file system.
// Paths arrive relative to the mount's root; the hook sees them with the
// resolved base directory in front, and the host calls take them relative to
// the base directory's descriptor, so a path as long as the mount allows is
// as long as the host allows, and a base directory moved while mounted stays
// the one served. Handles carry the host descriptor, or the host directory
// stream, in fh; a handle whose open was skipped holds 0, which start-up
// makes sure no host open can hand out.
//
// When the daemon runs as root, what a caller creates is created as root and
// then handed to the caller, on the new entry's own descriptor where there
// is one, before the kernel hears of it. Acting as the caller instead
// (setfsuid/setfsgid) would keep root's supplementary groups rather than the
// caller's (glibc's setgroups changes every thread at once) and root's
// CAP_MKNOD, and would have to be undone on every path out of a call.
#include "operations.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "../injection/hook.h"
#include "events.h"
#include "ioctls.h"
#include "xattrs.h"
#include "../unsynced/names.h"
#include "../unsynced/record.h"

namespace {

struct descriptor {
    int fd;
    explicit descriptor(int opened) : fd(opened) {}
    ~descriptor()
    {
        if (fd != -1)
            close(fd);
    }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
};

struct dir_closer {
    void operator()(DIR *stream) const { closedir(stream); }
};
using dir_stream = std::unique_ptr<DIR, dir_closer>;

// -1 where the handle holds no descriptor of ours.
int handle_fd(const fuse_file_info *fi)
{
    return fi->fh != 0 ? static_cast<int>(fi->fh) : -1;
}

DIR *handle_dir(const fuse_file_info *fi)
{
    return reinterpret_cast<DIR *>(static_cast<uintptr_t>(fi->fh));
}

// A host call's -1 becomes the negated errno, read before anything else runs.
int status(int host_result)
{
    return host_result == -1 ? -errno : 0;
}

int byte_count(ssize_t host_result)
{
    return host_result == -1 ? -errno : static_cast<int>(host_result);
}

int base()
{
    return mount_state.base_fd;
}

// A mount path as the host calls take it: relative to the base directory.
const char *host(const char *path)
{
    while (*path == '/')
        ++path;
    return *path == '\0' ? "." : path;
}

// A mount path as rules have always seen it: the resolved base directory in
// front ("/srv/data/a", "/srv/data/" for the root; "/a" with base "/"). It
// lives until the thread's next call, which is all the hook needs.
const char *rule_text(const char *path)
{
    thread_local std::string text;
    text.assign(mount_state.path_prefix);
    text.append(path[0] == '/' ? path + 1 : path);
    return text.c_str();
}

// The shape every operation shares: the hook's verdict first, INJECT_SKIP
// before nonzero, and the host work only when the hook let it through. The
// hook is shown text, which is the rule text of the path but for symlink.
template <typename HostWork, typename SkipWork>
int hooked_text(const char *text, fs_op op, data_request &request, HostWork &&work,
                SkipWork &&on_skip)
{
    const int32_t verdict = injection_check(text, op, request);
    if (verdict == INJECT_SKIP) {
        if constexpr (std::is_void_v<decltype(on_skip())>) {
            on_skip();
            return 0;
        } else {
            return on_skip();
        }
    }
    if (verdict != 0)
        return verdict;
    // Memory running out (a corrupted copy of written data, a path) fails
    // this request, not the whole mount.
    try {
        return work();
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

// The directory where a power cut keeps what removals took is no part of
// the mirror: no path reaches it, no rule sees it.
bool hidden(const char *path)
{
    return path != nullptr && names_hidden(host(path));
}

template <typename HostWork, typename SkipWork>
int hooked(const char *path, fs_op op, HostWork &&work, SkipWork &&on_skip)
{
    if (hidden(path))
        return -ENOENT;
    data_request none;
    return hooked_text(rule_text(path), op, none, work, on_skip);
}

template <typename HostWork>
int hooked(const char *path, fs_op op, HostWork &&work)
{
    return hooked(path, op, work, [] {});
}

// For the operations that move bytes or take room: the request tells the
// rules what the operation is about to do, and the work what they decided.
template <typename HostWork>
int hooked(const char *path, fs_op op, data_request &request, HostWork &&work)
{
    if (hidden(path))
        return -ENOENT;
    return hooked_text(rule_text(path), op, request, work, [] {});
}

// The size of the open file, or of the file at path; -1 when unknown.
int64_t file_size(const fuse_file_info *fi, const char *path)
{
    struct stat st;
    const int fd = fi != nullptr ? handle_fd(fi) : -1;
    if ((fd != -1 ? fstat(fd, &st) : fstatat(base(), host(path), &st, 0)) != 0)
        return -1;
    return st.st_size;
}

// After release the kernel never names a handle again, so what it holds is
// let go whatever the hook says; otherwise an injected fault or skip would
// leak a descriptor for the life of the daemon. The verdict is still what
// the operation answers.
template <typename LetGo>
int hooked_release(const char *path, fs_op op, LetGo &&let_go)
{
    const int32_t verdict = injection_check(rule_text(path), op);
    const int released = let_go();
    if (verdict == INJECT_SKIP)
        return 0;
    return verdict != 0 ? verdict : released;
}

// read and write: through the handle's descriptor, or a descriptor opened for
// this one transfer when libfuse gives no handle.
template <typename Transfer>
int transfer(const char *path, const fuse_file_info *fi, int open_flags,
             Transfer &&move_bytes)
{
    if (fi != nullptr) {
        const int fd = handle_fd(fi);
        return fd == -1 ? -EBADF : byte_count(move_bytes(fd));
    }
    const descriptor own(openat(base(), host(path), open_flags | O_CLOEXEC));
    if (own.fd == -1)
        return -errno;
    return byte_count(move_bytes(own.fd));
}

// Whether the mount path names the rule file, which no power cut rolls
// back: a cut must never bring back a rule file half written.
bool is_rule_file(const char *path)
{
    const std::string &rules = mount_state.config_path, &prefix = mount_state.path_prefix;
    return rules.size() > prefix.size() && rules.compare(0, prefix.size(), prefix) == 0 &&
           rules.compare(prefix.size(), std::string::npos, host(path)) == 0;
}

// Saves for a power cut what a change is about to overwrite or cut off.
// 0 to go on; a change that cannot be recorded is not made, since it would
// survive the cut: -EIO, with a line saying why.
template <typename Save>
int record_change(const char *path, Save &&save)
{
    if (!unsynced_tracking() || is_rule_file(path))
        return 0;
    const int saved = save();
    if (saved == 0)
        return 0;
    fprintf(stderr, "cannot record a change of %s for a power cut: %s\n", rule_text(path),
            strerror(-saved));
    return -EIO;
}

// "/proc/self/fd/FD", and "/NAME" after it when a name is given, into
// link, put together by hand (snprintf was most of what a getxattr cost);
// false when it would not fit.
template <std::size_t N>
bool proc_name(char (&link)[N], int fd, const char *name = nullptr)
{
    static_assert(N >= 32, "room for the prefix and any descriptor number");
    static constexpr char prefix[] = "/proc/self/fd/";
    char *at = std::copy(prefix, prefix + sizeof prefix - 1, link);
    at = std::to_chars(at, at + 12, fd).ptr;  // an int has at most 11
    if (name == nullptr) {
        *at = '\0';
        return true;
    }
    *at++ = '/';
    const std::size_t length = strlen(name);
    if (length >= static_cast<std::size_t>(link + N - at))
        return false;
    memcpy(at, name, length + 1);
    return true;
}

// truncate has no *at form, and opening the file to truncate it would have
// side effects on a FIFO or a device; a path-only descriptor has none, and
// truncate through its /proc link checks what truncate checks.
int truncate_path(const char *path, off_t size)
{
    const descriptor file(openat(base(), host(path), O_PATH | O_CLOEXEC));
    if (file.fd == -1)
        return -errno;
    if (const int refused = record_change(path, [&] {
            return unsynced_before_resize(file.fd, static_cast<uint64_t>(size));
        }))
        return refused;
    char link[32];
    proc_name(link, file.fd);
    return status(truncate(link, size));
}

// What changes a file's data or syncs it reaches the host under a change
// guard, so that a power cut either sees it recorded or stops it: after a
// cut nothing reaches the base directory until power comes back.
//
// Lock order: the hook's lock, then the power lock (the guard), then the
// record's mutex. The cut takes the power lock inside a check, so the guard
// is taken only after the check has returned, and nothing done while it is
// held may ask the hook anything (corruption of written data, which takes
// the hook's lock, is done before): a change that waited for the hook while
// holding the guard would deadlock against a cut waiting for the guard.
template <typename Change>
int guarded(Change &&change)
{
    const unsynced_change_guard guard;
    return guard.powered_off() ? -EIO : change();
}

// A change of names reaches the host under a change guard too, recorded
// before and after its host call, so that a power cut can undo it; one that
// cannot be kept for an undo is not made. made, when given, says whether the
// host call changed a name (an O_CREAT open of a file that was there did not).
template <typename Change>
int named(name_change_kind kind, const char *path, const char *target, Change &&change,
          const bool *made = nullptr)
{
    const unsynced_change_guard guard;
    if (guard.powered_off())
        return -EIO;
    name_change_ticket ticket;
    if (const int kept = names_prepare(kind, host(path), target ? host(target) : nullptr, ticket)) {
        fprintf(stderr, "cannot keep what a change of %s removes for a power cut: %s\n",
                rule_text(path), strerror(-kept));
        return -EIO;
    }
    const int result = change();
    names_finish(ticket, made != nullptr ? *made : result >= 0);
    return result;
}

// Who a new entry is handed to: the requester, when the daemon is root and
// the requester is not. A parent directory with the set-group-ID bit gives
// its group, as the host did already, so the group is then left alone.
struct new_owner {
    bool hand_over = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

new_owner owner_for(const char *path)
{
    new_owner owner;
    if (geteuid() != 0 || requester_pid() <= 0)
        return owner;
    owner.uid = requester_uid();
    owner.gid = requester_gid();
    if (owner.uid == 0 && owner.gid == 0)
        return owner;
    std::string parent = host(path);
    const std::size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : parent.substr(0, slash);
    struct stat st;
    if (fstatat(base(), parent.c_str(), &st, 0) == 0 && (st.st_mode & S_ISGID))
        owner.gid = static_cast<gid_t>(-1);
    owner.hand_over = true;
    return owner;
}

// chown clears set-ID bits, even root's; those the caller asked for are put
// back, less a set-group-ID bit for a group the caller is not in (as the
// kernel strips it for an unprivileged creator).
mode_t set_id_bits_kept(mode_t mode, const struct stat &st, const new_owner &owner)
{
    mode_t kept = mode & (S_ISUID | S_ISGID);
    if ((kept & S_ISGID) && owner.uid != 0 && st.st_gid != requester_gid() &&
        !requester_in_group(st.st_gid))
        kept &= static_cast<mode_t>(~S_ISGID);
    return kept;
}

// Hands a new entry over, through its descriptor fd when it has one (-1:
// by its path); on failure removes it and reports why.
int hand_over(const char *path, int fd, const new_owner &owner, mode_t mode, int remove_flags)
{
    const int owned = fd != -1 ? fchown(fd, owner.uid, owner.gid)
                               : fchownat(base(), host(path), owner.uid, owner.gid,
                                          AT_SYMLINK_NOFOLLOW);
    if (owned == -1) {
        const int error = errno;
        unlinkat(base(), host(path), remove_flags);
        return -error;
    }
    struct stat st;
    if (!S_ISREG(mode) || !(mode & (S_ISUID | S_ISGID)) ||
        (fd != -1 ? fstat(fd, &st) : fstatat(base(), host(path), &st, AT_SYMLINK_NOFOLLOW)) != 0)
        return 0;
    const mode_t kept = set_id_bits_kept(mode, st, owner);
    if (kept == 0)
        return 0;
    const mode_t restored = (st.st_mode & 01777) | kept;
    return status(fd != -1 ? fchmod(fd, restored) : fchmodat(base(), host(path), restored, 0));
}

int created(int host_result, const char *path, mode_t mode, int remove_flags,
            const new_owner &owner)
{
    if (host_result == -1)
        return -errno;
    return owner.hand_over ? hand_over(path, -1, owner, mode, remove_flags) : 0;
}

int fs_getattr(const char *path, struct stat *st) noexcept
{
    return hooked(path, OP_GETATTR, [&] {
        return status(fstatat(base(), host(path), st, AT_SYMLINK_NOFOLLOW));
    });
}

// The size counts the terminating NUL; a longer link text is cut. A skipped
// readlink still hands back a terminated (empty) text, not a stale buffer.
int fs_readlink(const char *path, char *buf, size_t size) noexcept
{
    return hooked(
        path, OP_READLINK,
        [&] {
            if (size == 0)
                return -EINVAL;
            const ssize_t length = readlinkat(base(), host(path), buf, size - 1);
            if (length == -1)
                return -errno;
            buf[length] = '\0';
            return 0;
        },
        [&] {
            if (size > 0)
                buf[0] = '\0';
        });
}

int fs_mknod(const char *path, mode_t mode, dev_t device) noexcept
{
    return hooked(path, OP_MKNOD, [&] {
        return named(NAME_CREATE, path, nullptr, [&] {
            const new_owner owner = owner_for(path);
            return created(mknodat(base(), host(path), mode, device), path, mode, 0, owner);
        });
    });
}

int fs_mkdir(const char *path, mode_t mode) noexcept
{
    return hooked(path, OP_MKDIR, [&] {
        return named(NAME_MKDIR, path, nullptr, [&] {
            const new_owner owner = owner_for(path);
            return created(mkdirat(base(), host(path), mode), path, S_IFDIR, AT_REMOVEDIR, owner);
        });
    });
}

int fs_unlink(const char *path) noexcept
{
    // A full disk gets back the room of the last link of a file.
    data_request request;
    request.current_size = [&]() -> int64_t {
        struct stat st;
        if (fstatat(base(), host(path), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_nlink != 1)
            return 0;
        return st.st_size;
    };
    return hooked(path, OP_UNLINK, request, [&] {
        return named(NAME_UNLINK, path, nullptr,
                     [&] { return status(unlinkat(base(), host(path), 0)); });
    });
}

int fs_rmdir(const char *path) noexcept
{
    return hooked(path, OP_RMDIR, [&] {
        return named(NAME_RMDIR, path, nullptr,
                     [&] { return status(unlinkat(base(), host(path), AT_REMOVEDIR)); });
    });
}

// The hook sees the link text, not where the new link goes.
int fs_symlink(const char *target, const char *link_path) noexcept
{
    if (hidden(link_path))
        return -ENOENT;
    data_request none;
    return hooked_text(
        target, OP_SYMLINK, none,
        [&] {
            return named(NAME_CREATE, link_path, nullptr, [&] {
                const new_owner owner = owner_for(link_path);
                return created(symlinkat(target, base(), host(link_path)), link_path, S_IFLNK,
                               0, owner);
            });
        },
        [] {});
}

int fs_rename(const char *from, const char *to) noexcept
{
    if (hidden(to))
        return -ENOENT;
    return hooked(from, OP_RENAME, [&] {
        return named(NAME_RENAME, from, to,
                     [&] { return status(renameat(base(), host(from), base(), host(to))); });
    });
}

int fs_link(const char *from, const char *to) noexcept
{
    if (hidden(to))
        return -ENOENT;
    return hooked(from, OP_LINK, [&] {
        return named(NAME_CREATE, to, nullptr,
                     [&] { return status(linkat(base(), host(from), base(), host(to), 0)); });
    });
}

int fs_chmod(const char *path, mode_t mode) noexcept
{
    return hooked(path, OP_CHMOD,
                  [&] { return status(fchmodat(base(), host(path), mode, 0)); });
}

// The kernel resolves links before a plain chown reaches us; a request on a
// link's own inode comes from lchown, so it must not follow the link.
int fs_chown(const char *path, uid_t uid, gid_t gid) noexcept
{
    return hooked(path, OP_CHOWN, [&] {
        return status(fchownat(base(), host(path), uid, gid, AT_SYMLINK_NOFOLLOW));
    });
}

int fs_truncate(const char *path, off_t size) noexcept
{
    data_request request;
    request.new_size = size;
    request.current_size = [&] { return file_size(nullptr, path); };
    return hooked(path, OP_TRUNCATE, request,
                  [&] { return guarded([&] { return truncate_path(path, size); }); });
}

std::unique_ptr<compiled_pattern> direct_io_files;

// Direct I/O for the files -direct_io_regexp names (libfuse sets it for all
// under -o direct_io).
void choose_direct_io(const char *path, fuse_file_info *fi)
{
    const char *failed_call = nullptr;
    if (direct_io_files && direct_io_files->mismatch(path, &failed_call) == 0)
        fi->direct_io = 1;
}

int store_descriptor(int fd, fuse_file_info *fi)
{
    if (fd == -1)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

// A new file is made with O_EXCL, so that only a file this call created is
// handed over; one that another caller made meanwhile is merely opened.
// Whether the file was made is also what a power cut must know: only a file
// made here is a name change.
int create_file(const char *path, mode_t mode, fuse_file_info *fi, bool &made)
{
    made = false;
    const new_owner owner = owner_for(path);
    if (!owner.hand_over && !names_recording())
        return store_descriptor(openat(base(), host(path), fi->flags | O_CLOEXEC, mode), fi);
    const int fd = openat(base(), host(path), fi->flags | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd == -1 && errno == EEXIST && !(fi->flags & O_EXCL))
        return store_descriptor(openat(base(), host(path), (fi->flags & ~O_CREAT) | O_CLOEXEC),
                                fi);
    if (fd == -1)
        return -errno;
    made = true;
    if (!owner.hand_over) {
        fi->fh = static_cast<uint64_t>(fd);
        return 0;
    }
    const int handed = hand_over(path, fd, owner, S_IFREG | mode, 0);
    if (handed != 0) {
        close(fd);
        return handed;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fs_open(const char *path, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_OPEN, [&] {
        choose_direct_io(path, fi);
        return store_descriptor(openat(base(), host(path), fi->flags | O_CLOEXEC), fi);
    });
}

// A short-transfer rule moves fewer bytes than asked; a corrupting one alters
// what was read before the caller sees it, or what is written before the
// host stores it, and the caller is told the count the host moved.
// A read into memory: what read does, and read_buf when a rule must see
// the bytes.
int read_into(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *fi,
              const data_request &request)
{
    const size_t asked = static_cast<size_t>(std::min<uint64_t>(size, request.move));
    const int got = transfer(path, fi, O_RDONLY,
                             [&](int fd) { return pread(fd, buf, asked, offset); });
    if (got > 0)
        injection_corrupt(request, rule_text(path), buf, static_cast<size_t>(got),
                          request.offset);
    return got;
}

data_request read_request(size_t size, off_t offset)
{
    data_request request;
    request.offset = static_cast<uint64_t>(offset);
    request.length = size;
    return request;
}

int fs_read(const char *path, char *buf, size_t size, off_t offset,
            fuse_file_info *fi) noexcept
{
    data_request request = read_request(size, offset);
    return hooked(path, OP_READ, request,
                  [&] { return read_into(path, buf, size, offset, fi, request); });
}

struct bufvec_freer {
    void operator()(fuse_bufvec *vec) const
    {
        if (vec != nullptr)
            free(vec->buf[0].mem);
        free(vec);
    }
};
using bufvec_ptr = std::unique_ptr<fuse_bufvec, bufvec_freer>;

bufvec_ptr new_bufvec(size_t size)
{
    bufvec_ptr vec(static_cast<fuse_bufvec *>(malloc(sizeof(fuse_bufvec))));
    if (!vec)
        throw std::bad_alloc();
    *vec = FUSE_BUFVEC_INIT(size);
    return vec;
}

// Whether libfuse splices its replies to the kernel (-o splice_write).
std::atomic<bool> replies_spliced{false};

// Where libfuse splices its replies and no rule must see the bytes, it is
// handed the file's descriptor and moves the data from the file to the
// kernel without a copy. Otherwise the bytes are read into memory (and
// altered there, for a rule), which is one copy either way: handed a
// descriptor, libfuse would read it into a page-aligned buffer of its own
// that glibc maps and unmaps for every request. A skipped read hands back
// no bytes.
int fs_read_buf(const char *path, fuse_bufvec **bufp, size_t size, off_t offset,
                fuse_file_info *fi) noexcept
{
    data_request request = read_request(size, offset);
    if (hidden(path))
        return -ENOENT;
    return hooked_text(
        rule_text(path), OP_READ, request,
        [&] {
            const size_t asked = static_cast<size_t>(std::min<uint64_t>(size, request.move));
            const int fd = fi != nullptr ? handle_fd(fi) : -1;
            if (request.corruptions.empty() && fd != -1 && replies_spliced.load()) {
                bufvec_ptr vec = new_bufvec(asked);
                vec->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
                vec->buf[0].fd = fd;
                vec->buf[0].pos = offset;
                *bufp = vec.release();
                return 0;
            }
            bufvec_ptr vec = new_bufvec(asked);
            vec->buf[0].mem = malloc(std::max<size_t>(asked, 1));
            if (vec->buf[0].mem == nullptr)
                return -ENOMEM;
            const int got = read_into(path, static_cast<char *>(vec->buf[0].mem), asked, offset,
                                      fi, request);
            if (got < 0)
                return got;
            vec->buf[0].size = static_cast<size_t>(got);
            *bufp = vec.release();
            return 0;
        },
        [&] {
            auto *none = static_cast<fuse_bufvec *>(malloc(sizeof(fuse_bufvec)));
            if (none == nullptr)
                return -ENOMEM;
            *none = FUSE_BUFVEC_INIT(0);
            *bufp = none;
            return 0;
        });
}

// What a write takes its bytes from: memory (write), or libfuse's buffer
// (write_buf), which can be spliced from the kernel to the file without
// passing through tavrin.
struct write_source {
    const char *data = nullptr;
    fuse_bufvec *buf = nullptr;

    // n bytes to fd at pos: the count written, or -1 with errno.
    ssize_t put(int fd, size_t n, off_t pos) const
    {
        if (buf == nullptr)
            return pwrite(fd, data, n, pos);
        fuse_bufvec to = FUSE_BUFVEC_INIT(n);
        to.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        to.buf[0].fd = fd;
        to.buf[0].pos = pos;
        const ssize_t copied = fuse_buf_copy(&to, buf, FUSE_BUF_SPLICE_NONBLOCK);
        if (copied < 0) {
            errno = static_cast<int>(-copied);
            return -1;
        }
        return copied;
    }

    // The first n bytes, in memory, for a rule to alter.
    std::vector<char> gather(size_t n) const
    {
        if (buf == nullptr)
            return std::vector<char>(data, data + n);
        std::vector<char> bytes(n);
        fuse_bufvec to = FUSE_BUFVEC_INIT(n);
        to.buf[0].mem = bytes.data();
        const ssize_t copied = fuse_buf_copy(&to, buf, static_cast<fuse_buf_copy_flags>(0));
        bytes.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
        return bytes;
    }
};

int write_from(const char *path, const write_source &source, size_t size, off_t offset,
               fuse_file_info *fi)
{
    data_request request;
    request.offset = static_cast<uint64_t>(offset);
    request.length = size;
    request.current_size = [&] { return file_size(fi, path); };
    // A skipped write reports no byte written, or, under written = all, every
    // byte: a write acknowledged and never stored.
    const auto skipped = [&] { return request.written_all ? static_cast<int>(size) : 0; };
    if (hidden(path))
        return -ENOENT;
    return hooked_text(rule_text(path), OP_WRITE, request, [&] {
        size_t moved = static_cast<size_t>(std::min<uint64_t>(size, request.move));
        // Only a corruption needs the bytes; the rest go as they are.
        std::vector<char> altered;
        write_source from = source;
        // A spliced source (a pipe) is taken whole, even when less of it is
        // written: nothing may stay behind in it.
        const bool piped = source.buf != nullptr && (source.buf->buf[0].flags & FUSE_BUF_IS_FD);
        if (!request.corruptions.empty() || (piped && moved < size)) {
            altered = source.gather(size);
            moved = std::min(moved, altered.size());
            injection_corrupt(request, rule_text(path), altered.data(), moved, request.offset);
            from = {altered.data(), nullptr};
        }
        // A write through an O_SYNC or O_DSYNC handle is synced at once.
        const bool synchronous = fi != nullptr && (fi->flags & O_DSYNC) != 0;
        return guarded([&] {
            return transfer(path, fi, O_WRONLY, [&](int fd) -> ssize_t {
                if (const int refused = record_change(path, [&] {
                        return unsynced_before_write(fd, request.offset, moved);
                    })) {
                    errno = -refused;
                    return -1;
                }
                const ssize_t written = from.put(fd, moved, offset);
                if (written >= 0 && synchronous) {
                    unsynced_synced(fd);
                    names_synced(-1);
                }
                return written;
            });
        });
    }, skipped);
}

int fs_write(const char *path, const char *data, size_t size, off_t offset,
             fuse_file_info *fi) noexcept
{
    return write_from(path, {data, nullptr}, size, offset, fi);
}

int fs_write_buf(const char *path, fuse_bufvec *buf, off_t offset, fuse_file_info *fi) noexcept
{
    return write_from(path, {nullptr, buf}, fuse_buf_size(buf), offset, fi);
}

int fs_statfs(const char *path, struct statvfs *st) noexcept
{
    // A full disk shows what room it has left, so df agrees with the writes.
    data_request request;
    return hooked(path, OP_STATFS, request, [&] {
        const descriptor file(openat(base(), host(path), O_PATH | O_CLOEXEC));
        if (file.fd == -1 || fstatvfs(file.fd, st) != 0)
            return -errno;
        if (request.room != UINT64_MAX && st->f_frsize > 0) {
            const fsblkcnt_t free_blocks = static_cast<fsblkcnt_t>(request.room / st->f_frsize);
            st->f_bfree = std::min(st->f_bfree, free_blocks);
            st->f_bavail = std::min(st->f_bavail, free_blocks);
        }
        return 0;
    });
}

// flush runs at every close of a file descriptor in the caller, and there may
// be several per open; closing a duplicate reports the host's close errors
// while the handle's own descriptor stays open until release.
int fs_flush(const char *path, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_FLUSH, [&] {
        const int fd = handle_fd(fi);
        if (fd == -1)
            return 0;
        const int copy = dup(fd);
        return copy == -1 ? -errno : status(close(copy));
    });
}

int fs_release(const char *path, fuse_file_info *fi) noexcept
{
    return hooked_release(path, OP_RELEASE, [&] {
        const int fd = handle_fd(fi);
        return fd == -1 ? 0 : status(close(fd));
    });
}

int sync_descriptor(int fd, int data_only)
{
    return status(data_only ? fdatasync(fd) : fsync(fd));
}

int fs_fsync(const char *path, int data_only, fuse_file_info *fi) noexcept
{
    // A failed write-back rolls back the file behind the handle.
    data_request request;
    request.fd = handle_fd(fi);
    return hooked(path, OP_FSYNC, request, [&] {
        const int fd = request.fd;
        if (fd == -1)
            return -EBADF;
        return guarded([&] {
            const int synced = sync_descriptor(fd, data_only);
            if (synced == 0) {
                unsynced_synced(fd);
                names_synced(-1);
            }
            return synced;
        });
    });
}

DIR *open_dir(const char *path)
{
    const int fd = openat(base(), host(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return nullptr;
    DIR *stream = fdopendir(fd);
    if (stream == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}

int fs_opendir(const char *path, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_OPENDIR, [&] {
        DIR *stream = open_dir(path);
        if (stream == nullptr)
            return -errno;
        fi->fh = reinterpret_cast<uintptr_t>(stream);
        return 0;
    });
}

// The stream opendir stored, so that a directory renamed or replaced while
// open is still the one listed; a handle whose opendir was skipped has none,
// and the directory at the path is opened for this one call.
template <typename Work>
int with_dir_stream(const char *path, fuse_file_info *fi, Work &&work)
{
    if (DIR *stream = fi != nullptr ? handle_dir(fi) : nullptr)
        return work(stream);
    const dir_stream own(open_dir(path));
    return own ? work(own.get()) : -errno;
}

// Every call lists the whole directory from its start, with only the inode
// and the file-type bits filled in; libfuse does the paging.
int fs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t,
               fuse_file_info *fi) noexcept
{
    return hooked(path, OP_READDIR, [&] {
        return with_dir_stream(path, fi, [&](DIR *stream) {
            rewinddir(stream);
            const bool root = host(path)[0] == '.' && host(path)[1] == '\0';
            while (const dirent *entry = readdir(stream)) {
                if (root && names_hidden(entry->d_name))
                    continue;
                struct stat st = {};
                st.st_ino = entry->d_ino;
                st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
                if (filler(buf, entry->d_name, &st, 0) != 0)
                    break;
            }
            return 0;
        });
    });
}

int fs_releasedir(const char *path, fuse_file_info *fi) noexcept
{
    return hooked_release(path, OP_RELEASEDIR, [&] {
        DIR *stream = handle_dir(fi);
        return stream == nullptr ? 0 : status(closedir(stream));
    });
}

int fs_fsyncdir(const char *path, int data_only, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_FSYNCDIR, [&] {
        return with_dir_stream(path, fi, [&](DIR *stream) {
            return guarded([&] {
                const int synced = sync_descriptor(dirfd(stream), data_only);
                if (synced == 0)
                    names_synced(dirfd(stream));
                return synced;
            });
        });
    });
}

// libfuse has set up its signal handling by now; what tavrin does besides
// serving requests starts here and ends with the mount.
void *fs_init(fuse_conn_info *conn) noexcept
{
    replies_spliced = (conn->want & FUSE_CAP_SPLICE_WRITE) != 0;
    events_start();
    return nullptr;
}

void fs_destroy(void *) noexcept
{
    events_stop();
}

int fs_access(const char *path, int mask) noexcept
{
    return hooked(path, OP_ACCESS,
                  [&] { return status(faccessat(base(), host(path), mask, 0)); });
}

int fs_create(const char *path, mode_t mode, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_CREAT, [&] {
        choose_direct_io(path, fi);
        bool made = false;
        return named(
            NAME_CREATE, path, nullptr, [&] { return create_file(path, mode, fi, made); }, &made);
    });
}

// Through the open file when there is one: the path may name another file by
// now, or none.
int fs_ftruncate(const char *path, off_t size, fuse_file_info *fi) noexcept
{
    data_request request;
    request.new_size = size;
    request.current_size = [&] { return file_size(fi, path); };
    return hooked(path, OP_FTRUNCATE, request, [&] {
        const int fd = handle_fd(fi);
        return guarded([&] {
            if (fd == -1)
                return truncate_path(path, size);
            if (const int refused = record_change(path, [&] {
                    return unsynced_before_resize(fd, static_cast<uint64_t>(size));
                }))
                return refused;
            return status(ftruncate(fd, size));
        });
    });
}

// libfuse calls this right after create; a skipped create then answers as
// getattr would, rather than describing whatever descriptor 0 is.
int fs_fgetattr(const char *path, struct stat *st, fuse_file_info *fi) noexcept
{
    return hooked(path, OP_FGETATTR, [&] {
        const int fd = handle_fd(fi);
        return status(fd == -1 ? fstatat(base(), host(path), st, AT_SYMLINK_NOFOLLOW)
                               : fstat(fd, st));
    });
}

// Every host descriptor belongs to the daemon, so classic record locks taken
// on them for different callers would never conflict. Open file description
// locks belong to the descriptor instead, and each open through the mount has
// a descriptor of its own.
int description_lock_command(int command)
{
    switch (command) {
    case F_GETLK:
        return F_OFD_GETLK;
    case F_SETLK:
        return F_OFD_SETLK;
    case F_SETLKW:
        return F_OFD_SETLKW;
    default:
        return command;
    }
}

int fs_lock(const char *path, fuse_file_info *fi, int command,
            struct flock *lock) noexcept
{
    return hooked(path, OP_LOCK, [&] {
        const int fd = handle_fd(fi);
        if (fd == -1)
            return -EBADF;
        lock->l_pid = 0;  // required of description locks
        return status(fcntl(fd, description_lock_command(command), lock));
    });
}

int fs_utimens(const char *path, const struct timespec times[2]) noexcept
{
    return hooked(path, OP_UTIMENS, [&] {
        return status(utimensat(base(), host(path), times, AT_SYMLINK_NOFOLLOW));
    });
}

// The host call gets libfuse's prepared data area: the caller's own argument
// is an address in another process. Only the ioctls of ioctls.h pass. On a directory libfuse hands us the
// directory handle, whose fh is the stream opendir stored.
int fs_ioctl(const char *path, int command, void *, fuse_file_info *fi,
             unsigned int flags, void *data) noexcept
{
    return hooked(path, OP_IOCTL, [&] {
        int fd = -1;
        if (flags & FUSE_IOCTL_DIR) {
            DIR *stream = handle_dir(fi);
            fd = stream == nullptr ? -1 : dirfd(stream);
        } else {
            fd = handle_fd(fi);
        }
        if (fd == -1)
            return -EBADF;
        if (const int refused = ioctl_refused(static_cast<unsigned int>(command), fd, data))
            return refused;
        const int result = ioctl(fd, static_cast<unsigned long>(static_cast<long>(command)), data);
        return result == -1 ? -errno : result;
    });
}

// Preallocation and holes: what a punch or a zeroed range destroys, and
// what a collapse or an insert shifts, is saved for a cut first, and a
// full disk counts what is reserved.
int save_for_fallocate(int fd, int mode, off_t offset, off_t length)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -errno;
    const auto start = static_cast<uint64_t>(offset), size = static_cast<uint64_t>(st.st_size);
    if (mode & (FALLOC_FL_COLLAPSE_RANGE | FALLOC_FL_INSERT_RANGE))
        return start < size ? unsynced_before_write(fd, start, size - start) : 0;
    if (mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE))
        return unsynced_before_write(fd, start, static_cast<uint64_t>(length));
    return unsynced_before_resize(fd, std::max(size, start + static_cast<uint64_t>(length)));
}

int fs_fallocate(const char *path, int mode, off_t offset, off_t length,
                 fuse_file_info *fi) noexcept
{
    data_request request;
    request.offset = static_cast<uint64_t>(offset);
    request.length = static_cast<uint64_t>(length);
    request.fallocate_mode = mode;
    request.current_size = [&] { return file_size(fi, path); };
    return hooked(path, OP_FALLOCATE, request, [&] {
        const int fd = handle_fd(fi);
        if (fd == -1)
            return -EBADF;
        return guarded([&] {
            if (const int refused = record_change(
                    path, [&] { return save_for_fallocate(fd, mode, offset, length); }))
                return refused;
            return status(fallocate(fd, mode, offset, length));
        });
    });
}

// Extended attributes have no *at calls: an entry is named through the
// /proc link of the base directory's descriptor, so that one call reaches
// it (the kernel asks for security.capability before every write), and the
// l* calls act on the entry itself, never on what a link names, as the
// kernel has resolved any link already. A path too long for that is named
// through a descriptor of its parent.
template <typename Work>
int on_entry(const char *path, Work &&work)
{
    const char *below = host(path);
    char entry[PATH_MAX];
    if (proc_name(entry, base(), below))
        return work(static_cast<const char *>(entry));
    const char *slash = strrchr(below, '/');
    if (slash == nullptr)  // a name alone is never that long
        return -ENAMETOOLONG;
    const std::string parent_path(below, static_cast<std::size_t>(slash - below));
    const descriptor parent(
        openat(base(), parent_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (parent.fd == -1)
        return -errno;
    if (!proc_name(entry, parent.fd, slash + 1))
        return -ENAMETOOLONG;
    return work(static_cast<const char *>(entry));
}

int fs_setxattr(const char *path, const char *name, const char *value, size_t size,
                int flags) noexcept
{
    return hooked(path, OP_SETXATTR, [&] {
        return on_entry(path, [&](const char *entry) {
            if (const int refused = xattr_change_refused(entry, name))
                return refused;
            return status(lsetxattr(entry, name, value, size, flags));
        });
    });
}

int fs_getxattr(const char *path, const char *name, char *value, size_t size) noexcept
{
    return hooked(path, OP_GETXATTR, [&] {
        if (const int refused = xattr_read_refused(name))
            return refused;
        return on_entry(path, [&](const char *entry) {
            return byte_count(lgetxattr(entry, name, value, size));
        });
    });
}

// A size query is answered as the host answers it, less the names the
// requester may not see.
int fs_listxattr(const char *path, char *list, size_t size) noexcept
{
    return hooked(path, OP_LISTXATTR, [&] {
        return on_entry(path, [&](const char *entry) -> int {
            if (xattr_sees_all())
                return byte_count(llistxattr(entry, list, size));
            std::vector<char> names;
            for (;;) {
                const ssize_t needed = llistxattr(entry, nullptr, 0);
                if (needed < 0)
                    return -errno;
                names.resize(static_cast<std::size_t>(needed));
                const ssize_t got = llistxattr(entry, names.data(), names.size());
                if (got >= 0) {
                    names.resize(static_cast<std::size_t>(got));
                    break;
                }
                if (errno != ERANGE)  // it grew between the two calls: again
                    return -errno;
            }
            const std::size_t shown = xattr_list_filter(names.data(), names.size());
            if (size == 0)
                return static_cast<int>(shown);
            if (shown > size)
                return -ERANGE;
            memcpy(list, names.data(), shown);
            return static_cast<int>(shown);
        });
    });
}

int fs_removexattr(const char *path, const char *name) noexcept
{
    return hooked(path, OP_REMOVEXATTR, [&] {
        return on_entry(path, [&](const char *entry) {
            if (const int refused = xattr_change_refused(entry, name))
                return refused;
            return status(lremovexattr(entry, name));
        });
    });
}

// BSD locks belong to the open file description, and each open through the
// mount has a host descriptor of its own, so callers' locks conflict as on
// the base directory.
int fs_flock(const char *path, fuse_file_info *fi, int operation) noexcept
{
    return hooked(path, OP_FLOCK, [&] {
        const int fd = handle_fd(fi);
        return fd == -1 ? -EBADF : status(flock(fd, operation));
    });
}

fuse_operations make_operations()
{
    fuse_operations ops = {};
    ops.getattr = fs_getattr;
    ops.readlink = fs_readlink;
    ops.mknod = fs_mknod;
    ops.mkdir = fs_mkdir;
    ops.unlink = fs_unlink;
    ops.rmdir = fs_rmdir;
    ops.symlink = fs_symlink;
    ops.rename = fs_rename;
    ops.link = fs_link;
    ops.chmod = fs_chmod;
    ops.chown = fs_chown;
    ops.truncate = fs_truncate;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.write = fs_write;
    ops.read_buf = fs_read_buf;
    ops.write_buf = fs_write_buf;
    ops.statfs = fs_statfs;
    ops.flush = fs_flush;
    ops.release = fs_release;
    ops.fsync = fs_fsync;
    ops.opendir = fs_opendir;
    ops.readdir = fs_readdir;
    ops.releasedir = fs_releasedir;
    ops.fsyncdir = fs_fsyncdir;
    ops.init = fs_init;
    ops.destroy = fs_destroy;
    ops.access = fs_access;
    ops.create = fs_create;
    ops.ftruncate = fs_ftruncate;
    ops.fgetattr = fs_fgetattr;
    ops.lock = fs_lock;
    ops.utimens = fs_utimens;
    ops.ioctl = fs_ioctl;
    ops.fallocate = fs_fallocate;
    ops.setxattr = fs_setxattr;
    ops.getxattr = fs_getxattr;
    ops.listxattr = fs_listxattr;
    ops.removexattr = fs_removexattr;
    ops.flock = fs_flock;
    // utimensat's UTIME_OMIT and UTIME_NOW reach fs_utimens as they are.
    ops.flag_utime_omit_ok = 1;
    return ops;
}

}  // namespace

const fuse_operations fs_operations = make_operations();

bool fs_direct_io_for(const char *pattern, std::string &why)
{
    direct_io_files = std::make_unique<compiled_pattern>(pattern);
    if (direct_io_files->compiled())
        return true;
    why = direct_io_files->error_text();
    direct_io_files.reset();
    return false;
}
