// The benchmark's workloads, run against one directory (a mount point or the
// base directory itself). Prints one line: "<operations> <seconds> <bytes>".
//
//   tavrin_bench WORKLOAD DIR COUNT [CLIENTS]
//
// Workloads: setup-small, setup-dir, setup-big (prepare files), create,
// stat-cold, stat-warm, small-read, readdir, unlink, seq-write, seq-read,
// rand-read, rand-write, sqlite. COUNT is the number of operations (files, listings, reads), or
// MiB for the sequential workloads.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t SMALL_FILE = 4096;
constexpr std::size_t BLOCK = 1 << 20;
constexpr std::size_t PAGE = 4096;

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "tavrin_bench: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

std::string small_name(const std::string &dir, long i)
{
    return dir + "/small/f" + std::to_string(i);
}

// Drops the kernel's clean caches so that the next requests reach the
// filesystem: dentries and inodes (for cold lookups) and pages (for reads).
void drop_caches()
{
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd == -1 || write(fd, "3", 1) != 1)
        die("drop_caches");
    close(fd);
}

void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        die("mkdir " + path);
}

void write_whole(const std::string &path, const std::string &data)
{
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd == -1 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        die("write " + path);
    close(fd);
}

// Splits [0, count) among clients processes running work(begin, end).
long run_clients(int clients, long count, const std::function<void(long, long)> &work)
{
    if (clients <= 1) {
        work(0, count);
        return count;
    }
    std::vector<pid_t> children;
    for (int c = 0; c < clients; ++c) {
        const pid_t child = fork();
        if (child == 0) {
            work(count * c / clients, count * (c + 1) / clients);
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die("a client failed");
    }
    return count;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: tavrin_bench WORKLOAD DIR COUNT [CLIENTS]\n");
        return 2;
    }
    const std::string workload = argv[1], dir = argv[2];
    const long count = atol(argv[3]);
    const int clients = argc > 4 ? atoi(argv[4]) : 1;
    const std::string big = dir + "/big";
    long operations = count;
    long bytes = 0;

    // Preparation and cache dropping happen before the clock starts.
    if (workload == "setup-small") {
        make_dir(dir + "/small");
        const std::string data(SMALL_FILE, 's');
        for (long i = 0; i < count; ++i)
            write_whole(small_name(dir, i), data);
        return 0;
    }
    if (workload == "setup-dir") {
        make_dir(dir + "/listing");
        for (long i = 0; i < 1000; ++i)
            write_whole(dir + "/listing/entry" + std::to_string(i), "");
        return 0;
    }
    if (workload == "stat-cold" || workload == "seq-read" || workload == "rand-read")
        drop_caches();
    if (workload == "create")
        make_dir(dir + "/created");

    const auto start = std::chrono::steady_clock::now();
    if (workload == "create") {
        for (long i = 0; i < count; ++i) {
            const int fd = open((dir + "/created/c" + std::to_string(i)).c_str(),
                                O_CREAT | O_WRONLY | O_EXCL, 0644);
            if (fd == -1)
                die("create");
            close(fd);
        }
    } else if (workload == "unlink") {
        for (long i = 0; i < count; ++i)
            if (unlink((dir + "/created/c" + std::to_string(i)).c_str()) != 0)
                die("unlink");
        rmdir((dir + "/created").c_str());
    } else if (workload == "stat-cold" || workload == "stat-warm") {
        struct stat st;
        for (long i = 0; i < count; ++i)
            if (stat(small_name(dir, i % 1000).c_str(), &st) != 0)
                die("stat");
    } else if (workload == "small-read") {
        run_clients(clients, count, [&](long begin, long end) {
            char buf[SMALL_FILE];
            for (long i = begin; i < end; ++i) {
                const int fd = open(small_name(dir, i % 1000).c_str(), O_RDONLY);
                if (fd == -1 || read(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf))
                    die("small read");
                close(fd);
            }
        });
        bytes = count * static_cast<long>(SMALL_FILE);
    } else if (workload == "readdir") {
        for (long i = 0; i < count; ++i) {
            DIR *stream = opendir((dir + "/listing").c_str());
            if (stream == nullptr)
                die("opendir");
            long entries = 0;
            while (readdir(stream))
                ++entries;
            closedir(stream);
            if (entries != 1002)
                die("readdir listed " + std::to_string(entries));
        }
    } else if (workload == "seq-write") {
        // A new file each time, not the last one cut short.
        const std::string block(BLOCK, 'w');
        unlink(big.c_str());
        const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd == -1)
            die("open big");
        for (long i = 0; i < count; ++i)
            if (write(fd, block.data(), BLOCK) != static_cast<ssize_t>(BLOCK))
                die("write big");
        if (fsync(fd) != 0)
            die("fsync big");
        close(fd);
        bytes = count * static_cast<long>(BLOCK);
    } else if (workload == "seq-read") {
        std::string block(BLOCK, '\0');
        const int fd = open(big.c_str(), O_RDONLY);
        if (fd == -1)
            die("open big");
        ssize_t got = 0;
        while ((got = read(fd, block.data(), BLOCK)) > 0)
            bytes += got;
        close(fd);
        operations = bytes / static_cast<long>(BLOCK);
    } else if (workload == "rand-read") {
        const int fd = open(big.c_str(), O_RDONLY);
        struct stat st;
        if (fd == -1 || fstat(fd, &st) != 0)
            die("open big");
        std::mt19937_64 random(1);
        char buf[PAGE];
        const auto pages = static_cast<unsigned long>(st.st_size) / PAGE;
        for (long i = 0; i < count; ++i)
            if (pread(fd, buf, PAGE, static_cast<off_t>((random() % pages) * PAGE)) != PAGE)
                die("random read");
        close(fd);
        bytes = count * static_cast<long>(PAGE);
    } else if (workload == "rand-write") {
        // Overwrites of random pages of the big file, synced once at the end.
        const int fd = open(big.c_str(), O_WRONLY);
        struct stat st;
        if (fd == -1 || fstat(fd, &st) != 0)
            die("open big");
        std::mt19937_64 random(2);
        const std::string page(PAGE, 'r');
        const auto pages = static_cast<unsigned long>(st.st_size) / PAGE;
        for (long i = 0; i < count; ++i)
            if (pwrite(fd, page.data(), PAGE, static_cast<off_t>((random() % pages) * PAGE)) != PAGE)
                die("random write");
        if (fsync(fd) != 0)
            die("fsync big");
        close(fd);
        bytes = count * static_cast<long>(PAGE);
    } else if (workload == "sqlite") {
        // COUNT inserts, a transaction each, with synchronous=FULL: what a
        // database that keeps its promises asks of a file system.
        const std::string db = dir + "/bench.db";
        unlink(db.c_str());
        unlink((db + "-journal").c_str());
        FILE *client = popen(("sqlite3 '" + db + "'").c_str(), "w");
        if (client == nullptr)
            die("sqlite3");
        fputs("PRAGMA synchronous=FULL; CREATE TABLE t(i INTEGER, pad TEXT);\n", client);
        for (long i = 0; i < count; ++i)
            fprintf(client, "INSERT INTO t VALUES(%ld, hex(randomblob(200)));\n", i);
        if (pclose(client) != 0)
            die("sqlite3 failed");
    } else {
        fprintf(stderr, "tavrin_bench: no workload %s\n", workload.c_str());
        return 2;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%ld %.6f %ld\n", operations, seconds, bytes);
    return 0;
}
