// The record of unsynced changes and the rollback of a power cut.
#include "record.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// What a block held at the last sync: length bytes (fewer than a block where
// the file ended), in a slot of the pool or at an offset of the spill file.
struct saved_block {
    uint32_t length = 0;
    bool spilled = false;
    uint64_t spill_offset = 0;
    char *data = nullptr;
};

// Memory for saved blocks, one slot of a block each, mapped and populated a
// chunk at a time. A random overwrite saves a block it has never seen, so a
// block saved with malloc cost a heap extension and a page fault per page;
// populating a chunk at once is several times cheaper. Slots that a sync
// frees are used again.
class slot_pool {
public:
    slot_pool() = default;
    slot_pool(const slot_pool &) = delete;
    slot_pool &operator=(const slot_pool &) = delete;
    ~slot_pool() { release_all(); }

    // A slot of slot_size bytes, or none when no memory can be mapped.
    char *take(std::size_t slot_size)
    {
        if (!free_.empty()) {
            char *slot = free_.back();
            free_.pop_back();
            return slot;
        }
        if (left_ < slot_size) {
            const std::size_t length = std::max(CHUNK, slot_size);
            void *chunk = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            if (chunk == MAP_FAILED)
                return nullptr;
            chunks_.push_back({static_cast<char *>(chunk), length});
            next_ = static_cast<char *>(chunk);
            left_ = length;
        }
        char *slot = next_;
        next_ += slot_size;
        left_ -= slot_size;
        return slot;
    }

    void give(char *slot) { free_.push_back(slot); }

    void swap(slot_pool &other) noexcept
    {
        chunks_.swap(other.chunks_);
        free_.swap(other.free_);
        std::swap(next_, other.next_);
        std::swap(left_, other.left_);
    }

    void release_all()
    {
        for (const auto &[start, length] : chunks_)
            munmap(start, length);
        chunks_.clear();
        free_.clear();
        next_ = nullptr;
        left_ = 0;
    }

private:
    static constexpr std::size_t CHUNK = 1 << 20;
    std::vector<std::pair<char *, std::size_t>> chunks_;
    std::vector<char *> free_;
    char *next_ = nullptr;
    std::size_t left_ = 0;
};

struct tracked_file {
    int fd = -1;             // our own descriptor of the file, read-write: saves and restores
    uint64_t synced_size = 0;
    uint64_t order = 0;      // of the first unsynced change
    std::map<uint64_t, saved_block> blocks;  // by block index, ascending
};

struct file_id {
    dev_t dev;
    ino_t ino;
    bool operator==(const file_id &other) const { return dev == other.dev && ino == other.ino; }
};

struct file_id_hash {
    std::size_t operator()(const file_id &id) const
    {
        return std::hash<uint64_t>()(static_cast<uint64_t>(id.ino) * 31 + static_cast<uint64_t>(id.dev));
    }
};

// Where saved blocks live: slots of the pool while the memory bound allows,
// then the spill file, an unlinked temporary file in $TMPDIR.
struct block_store {
    slot_pool slots;
    std::size_t in_memory = 0;  // bytes of the slots in use
    std::size_t spilled = 0;
    int spill_fd = -1;
    uint64_t spill_end = 0;

    block_store() = default;
    block_store(const block_store &) = delete;
    block_store &operator=(const block_store &) = delete;
    ~block_store() { release_all(); }

    void release_all()
    {
        slots.release_all();
        in_memory = 0;
        spilled = 0;
        spill_end = 0;
        if (spill_fd != -1)
            close(spill_fd);
        spill_fd = -1;
    }

    // Appends length bytes to the spill file; 0 or the negated errno.
    int spill(const char *data, uint32_t length, saved_block &saved)
    {
        if (spill_fd == -1) {
            const char *dir = getenv("TMPDIR");
            spill_fd = open(dir && *dir ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            if (spill_fd == -1)
                return -errno;
        }
        const ssize_t written = pwrite(spill_fd, data, length, static_cast<off_t>(spill_end));
        if (written != static_cast<ssize_t>(length))
            return written == -1 ? -errno : -ENOSPC;  // a short write: the disk is full
        saved.spilled = true;
        saved.spill_offset = spill_end;
        spill_end += length;
        spilled += length;
        return 0;
    }

    std::vector<char> content(const saved_block &block) const
    {
        if (!block.spilled)
            return std::vector<char>(block.data, block.data + block.length);
        std::vector<char> data(block.length);
        if (pread(spill_fd, data.data(), block.length, static_cast<off_t>(block.spill_offset)) !=
            static_cast<ssize_t>(block.length))
            perror("pread");
        return data;
    }

    void swap(block_store &other) noexcept
    {
        slots.swap(other.slots);
        std::swap(in_memory, other.in_memory);
        std::swap(spilled, other.spilled);
        std::swap(spill_fd, other.spill_fd);
        std::swap(spill_end, other.spill_end);
    }

    void give(const saved_block &block, uint32_t block_size)
    {
        if (block.spilled) {
            spilled -= block.length;
        } else if (block.data != nullptr) {
            slots.give(block.data);
            in_memory -= block_size;
        }
    }
};

struct record_state {
    // Writers first, so that a cut waiting for the changes in flight is not
    // kept waiting by new ones.
    pthread_rwlock_t power = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
    std::mutex mutex;  // the tables below; taken inside the power lock only
    // Written under the power lock held exclusively; read by any check.
    std::atomic<bool> tracking{false};
    std::atomic<bool> powered_off{false};
    uint32_t block = 4096;
    std::unordered_map<file_id, tracked_file, file_id_hash> files;
    uint64_t next_order = 0;
    std::size_t memory_bound = UNSYNCED_MEMORY_BOUND;
    block_store store;
};

record_state record;

class exclusive_power {
public:
    exclusive_power() { pthread_rwlock_wrlock(&record.power); }
    ~exclusive_power() { pthread_rwlock_unlock(&record.power); }
    exclusive_power(const exclusive_power &) = delete;
    exclusive_power &operator=(const exclusive_power &) = delete;
};

void forget_all()
{
    for (auto &[id, file] : record.files)
        close(file.fd);
    record.files.clear();
    record.store.release_all();
}

void forget(std::unordered_map<file_id, tracked_file, file_id_hash>::iterator at)
{
    for (const auto &[index, block] : at->second.blocks)
        record.store.give(block, record.block);
    close(at->second.fd);
    record.files.erase(at);
    if (record.files.empty() && record.store.spill_fd != -1) {
        // Nothing refers to the spill file any more: its room comes back.
        ftruncate(record.store.spill_fd, 0);
        record.store.spill_end = 0;
    }
}

// The file behind fd, tracked from now on if it is not yet: its size now
// is its synced size. *file stays none for anything but a regular file.
// The record's own descriptor reads the old content and, at the cut,
// writes it back, so a cut needs no descriptor it does not hold already;
// one that cannot be had is an error, never a change left unrecorded.
int file_of(int fd, struct stat &st, tracked_file **file)
{
    *file = nullptr;
    if (fstat(fd, &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return 0;
    const file_id id{st.st_dev, st.st_ino};
    const auto found = record.files.find(id);
    if (found != record.files.end()) {
        *file = &found->second;
        return 0;
    }
    char link[40];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    tracked_file tracked;
    tracked.fd = open(link, O_RDWR | O_CLOEXEC);
    if (tracked.fd == -1)
        return -errno;
    tracked.synced_size = static_cast<uint64_t>(st.st_size);
    tracked.order = record.next_order++;
    try {
        *file = &record.files.emplace(id, tracked).first->second;
    } catch (const std::bad_alloc &) {
        close(tracked.fd);
        return -ENOMEM;
    }
    return 0;
}

// Keeps length bytes of a block's old content: in a slot while the memory
// bound allows, in the spill file past it.
int store_block(block_store &store, const char *data, uint32_t length, saved_block &saved)
{
    saved.length = length;
    if (store.in_memory + record.block <= record.memory_bound) {
        saved.data = store.slots.take(record.block);
        if (saved.data == nullptr)
            return -ENOMEM;
        memcpy(saved.data, data, length);
        store.in_memory += record.block;
        return 0;
    }
    return store.spill(data, length, saved);
}

// Saves block index of the file as it is now, unless it was saved already.
int save_block(tracked_file &file, uint64_t index, uint64_t size_now)
{
    if (file.blocks.count(index) != 0)
        return 0;
    const uint64_t start = index * record.block;
    saved_block saved;
    if (start < size_now) {
        const auto length =
            static_cast<std::size_t>(std::min<uint64_t>(record.block, size_now - start));
        static std::vector<char> buffer;  // under the mutex like the rest
        buffer.resize(length);
        const ssize_t got = pread(file.fd, buffer.data(), length, static_cast<off_t>(start));
        if (got < 0)
            return -errno;
        if (const int stored =
                store_block(record.store, buffer.data(), static_cast<uint32_t>(got), saved))
            return stored;
    }
    file.blocks.emplace(index, saved);
    return 0;
}

// Blocks first to last of the file, each saved unless it was.
int save_blocks(int fd, uint64_t first, uint64_t last)
{
    const std::lock_guard<std::mutex> held(record.mutex);
    if (!record.tracking)
        return 0;
    try {
        struct stat st;
        tracked_file *file = nullptr;
        if (const int tracked = file_of(fd, st, &file); tracked != 0 || file == nullptr)
            return tracked;
        for (uint64_t index = first; index <= last; ++index) {
            const int saved = save_block(*file, index, static_cast<uint64_t>(st.st_size));
            if (saved != 0)
                return saved;
        }
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
    return 0;
}

// The saved blocks again, cut into blocks of new_block bytes (a smaller
// power of two): each smaller block held, at the last sync, what its part
// of the larger one held. Built aside and swapped in, so that a failure
// leaves the record as it was.
int rechunk(uint32_t new_block)
{
    const uint32_t parts = record.block / new_block;
    block_store fresh;
    std::unordered_map<file_id, std::map<uint64_t, saved_block>, file_id_hash> blocks;
    const uint32_t old_block = record.block;
    record.block = new_block;  // store_block sizes its slots by it
    std::vector<char> now(new_block);
    for (const auto &[id, file] : record.files) {
        std::map<uint64_t, saved_block> &cut = blocks[id];
        struct stat st;
        const uint64_t size_now = fstat(file.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
        for (const auto &[index, saved] : file.blocks) {
            const std::vector<char> data = record.store.content(saved);
            for (uint32_t part = 0; part < parts; ++part) {
                const std::size_t from = std::size_t{part} * new_block;
                const auto length = static_cast<uint32_t>(
                    from < data.size() ? std::min<std::size_t>(new_block, data.size() - from) : 0);
                // A part that holds now what it held at the sync never
                // changed, and draws nothing at a cut, as if the record had
                // been this fine all along.
                const uint64_t start = (index * parts + part) * uint64_t{new_block};
                const uint64_t length_now =
                    start < size_now ? std::min<uint64_t>(new_block, size_now - start) : 0;
                if (length_now == length &&
                    (length == 0 ||
                     (pread(file.fd, now.data(), length, static_cast<off_t>(start)) ==
                          static_cast<ssize_t>(length) &&
                      memcmp(now.data(), data.data() + from, length) == 0)))
                    continue;
                saved_block piece;
                if (length > 0) {
                    if (const int stored = store_block(fresh, data.data() + from, length, piece)) {
                        record.block = old_block;
                        return stored;
                    }
                }
                cut.emplace(index * parts + part, piece);
            }
        }
    }
    for (auto &[id, file] : record.files)
        file.blocks = std::move(blocks[id]);
    record.store.swap(fresh);
    return 0;
}

void write_all(int fd, const char *data, uint64_t length, uint64_t offset)
{
    if (length > 0 && pwrite(fd, data, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length))
        perror("pwrite");
}

// One file back to its synced state, but for the blocks that keep their
// newest content.
bool roll_back(tracked_file &file, uint32_t cut_block, uint32_t persist,
               const std::function<uint64_t()> &draw, uint64_t &lost, uint64_t &kept_bytes)
{
    struct stat st;
    if (fstat(file.fd, &st) != 0)
        return false;
    const uint64_t size_before = static_cast<uint64_t>(st.st_size);
    const uint64_t per_cut_block = std::max<uint64_t>(1, cut_block / record.block);
    const uint64_t unit = per_cut_block * record.block;

    std::vector<uint64_t> changed;  // cut blocks, ascending
    for (const auto &[index, saved] : file.blocks)
        if (changed.empty() || changed.back() != index / per_cut_block)
            changed.push_back(index / per_cut_block);
    std::vector<bool> kept(changed.size());
    uint64_t final_size = file.synced_size;
    for (std::size_t i = 0; i < changed.size(); ++i) {
        kept[i] = draw() % 100 < persist;
        const uint64_t start = changed[i] * unit;
        const uint64_t end = std::min(start + unit, size_before);
        const uint64_t bytes = end > start ? end - start : 0;
        (kept[i] ? kept_bytes : lost) += bytes;
        if (kept[i] && end > file.synced_size)
            final_size = std::max(final_size, end);
    }

    const int fd = file.fd;
    const std::vector<char> zeros(unit, '\0');
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (kept[i])
            continue;
        const uint64_t start = changed[i] * unit;
        for (auto at = file.blocks.lower_bound(changed[i] * per_cut_block);
             at != file.blocks.end() && at->first / per_cut_block == changed[i]; ++at) {
            const std::vector<char> data = record.store.content(at->second);
            write_all(fd, data.data(), data.size(), at->first * record.block);
        }
        // Never synced: what a lost block held beyond the synced size is gone.
        const uint64_t zero_from = std::max(start, file.synced_size);
        const uint64_t zero_to = std::min(start + unit, final_size);
        if (zero_to > zero_from)
            write_all(fd, zeros.data(), zero_to - zero_from, zero_from);
    }
    if (ftruncate(fd, static_cast<off_t>(final_size)) != 0)
        perror("ftruncate");
    return true;
}

}  // namespace

unsynced_change_guard::unsynced_change_guard()
{
    pthread_rwlock_rdlock(&record.power);
}

unsynced_change_guard::~unsynced_change_guard()
{
    pthread_rwlock_unlock(&record.power);
}

bool unsynced_change_guard::powered_off() const
{
    return record.powered_off;
}

int unsynced_start(uint32_t block_size)
{
    const exclusive_power held;
    const std::lock_guard<std::mutex> tables(record.mutex);
    if (!record.tracking) {
        forget_all();
        record.block = block_size;
        record.tracking = true;
        return 0;
    }
    // Larger blocks of a cut are made of the record's smaller ones; smaller
    // ones need the record cut finer.
    if (block_size >= record.block)
        return 0;
    try {
        return rechunk(block_size);
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

void unsynced_stop()
{
    const exclusive_power held;
    const std::lock_guard<std::mutex> tables(record.mutex);
    forget_all();
    record.tracking = false;
}

bool unsynced_tracking()
{
    return record.tracking;
}

uint32_t unsynced_block_size()
{
    return record.block;
}

int unsynced_before_write(int fd, uint64_t offset, uint64_t length)
{
    if (!record.tracking || length == 0)
        return 0;
    return save_blocks(fd, offset / record.block, (offset + length - 1) / record.block);
}

int unsynced_before_resize(int fd, uint64_t new_size)
{
    if (!record.tracking)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    const uint64_t size_now = static_cast<uint64_t>(st.st_size);
    // Growing only moves the end: the new bytes are zeros either way. Shrinking
    // cuts off blocks that must come back.
    if (new_size >= size_now) {
        const std::lock_guard<std::mutex> held(record.mutex);
        tracked_file *file = nullptr;
        try {
            return file_of(fd, st, &file);
        } catch (const std::bad_alloc &) {
            return -ENOMEM;
        }
    }
    return save_blocks(fd, new_size / record.block, (size_now - 1) / record.block);
}

void unsynced_synced(int fd)
{
    if (!record.tracking)
        return;
    const std::lock_guard<std::mutex> held(record.mutex);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    const auto found = record.files.find(file_id{st.st_dev, st.st_ino});
    if (found != record.files.end())
        forget(found);
}

unsynced_cut_result unsynced_cut(uint32_t block_size, uint32_t persist, names_model names,
                                 const std::function<uint64_t()> &draw)
{
    unsynced_cut_result result;
    const exclusive_power held;
    if (record.powered_off) {
        result.already_off = true;
        return result;
    }
    result.names_undone = names_undo(names, persist, draw);
    const std::lock_guard<std::mutex> tables(record.mutex);
    std::vector<tracked_file *> in_order;
    for (auto &[id, file] : record.files)
        in_order.push_back(&file);
    std::sort(in_order.begin(), in_order.end(),
              [](const tracked_file *a, const tracked_file *b) { return a->order < b->order; });
    for (tracked_file *file : in_order)
        result.files += roll_back(*file, block_size, persist, draw, result.lost, result.kept);
    forget_all();
    record.powered_off = true;
    return result;
}

unsynced_writeback_result unsynced_writeback_fail(int fd, uint32_t block_size, uint32_t persist,
                                                  const std::function<uint64_t()> &draw)
{
    unsynced_writeback_result result;
    const exclusive_power held;
    const std::lock_guard<std::mutex> tables(record.mutex);
    struct stat st;
    if (!record.tracking || fstat(fd, &st) != 0)
        return result;
    const auto found = record.files.find(file_id{st.st_dev, st.st_ino});
    if (found == record.files.end())
        return result;
    result.found = true;
    roll_back(found->second, block_size, persist, draw, result.lost, result.kept);
    forget(found);
    return result;
}

bool unsynced_powered_off()
{
    return record.powered_off;
}

void unsynced_power_on()
{
    const exclusive_power held;
    record.powered_off = false;
}

void unsynced_set_memory_bound(std::size_t bytes)
{
    const std::lock_guard<std::mutex> held(record.mutex);
    record.memory_bound = bytes;
}

std::size_t unsynced_files()
{
    const std::lock_guard<std::mutex> held(record.mutex);
    return record.files.size();
}

std::size_t unsynced_bytes_in_memory()
{
    const std::lock_guard<std::mutex> held(record.mutex);
    return record.store.in_memory;
}

void unsynced_sync_all()
{
    const std::lock_guard<std::mutex> held(record.mutex);
    while (!record.files.empty())
        forget(record.files.begin());
}

uint64_t unsynced_bytes_changed()
{
    const std::lock_guard<std::mutex> held(record.mutex);
    uint64_t bytes = 0;
    for (const auto &[id, file] : record.files)
        bytes += file.blocks.size() * uint64_t{record.block};
    return bytes;
}

std::size_t unsynced_bytes_spilled()
{
    const std::lock_guard<std::mutex> held(record.mutex);
    return record.store.spilled;
}
