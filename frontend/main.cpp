// Start-up: parse the command line, seed and report the generator, resolve and
// open the base directory, load the rules and run the filesystem until it is
// unmounted. Exit status 1 for help, version and
// every start-up failure, otherwise libfuse's own result.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>

#include "../injection/hook.h"
#include "../injection/mount_users.h"
#include "../trace/trace.h"
#include "../unsynced/names.h"
#include "../control/server.h"
#include "events.h"
#include "operations.h"

namespace {

const char VERSION[] = "0.1";
const char RULE_FILE_NAME[] = "tavrin.conf";

const char USAGE[] =
    "usage: tavrin mountpoint [options]\n"
    "\n"
    "general options:\n"
    "    -h   --help            print help\n"
    "    -v   --version         print version\n"
    "    -d                     enable debug output (implies -f)\n"
    "    -f                     foreground operation\n"
    "\n"
    "tavrin options:\n"
    "    -seed=NUM              random seed\n"
    "    -basedir=STRING        directory to mount\n"
    "    -quiet                 print no skip lines\n"
    "    -draws=keyed           draws keyed by rule, operation and path\n"
    "    -trace=FILE            write a JSON Lines trace of the run\n"
    "    -rules=FILE            read the rules from FILE, not BASEDIR/tavrin.conf\n"
    "    -strict                refuse a rule file with a mistake in it\n"
    "    -check-rules=FILE      check a rule file and mount nothing\n"
    "    -control=PATH          answer requests on a Unix socket at PATH\n"
    "    -direct_io_regexp=RE   direct I/O for the files whose path matches RE\n"
    "\n";

enum {
    KEY_HELP,
    KEY_VERSION,
    KEY_DEBUG,
    KEY_ALLOW_OTHER,
    KEY_DEFAULT_PERMISSIONS,
    KEY_DIRECT_IO
};

// The command line as fuse_opt stores it: plain fields it can name by
// offset, texts it allocates. Start-up turns them into mount_state.
struct startup_options {
    unsigned seed;
    char *basedir;
    int quiet;
    char *draws;
    char *trace;
    char *rules;
    int strict;
    char *check_rules;
    char *control;
    char *direct_io_regexp;
    char *mount_point;  // the first argument that is not an option
    // Mount options start-up looks at before passing them on.
    bool allow_other;
    bool default_permissions;
    bool direct_io;
} given;

static_assert(std::is_standard_layout_v<startup_options> &&
                  std::is_trivially_copyable_v<startup_options>,
              "option_table names fields of startup_options by offset");

const fuse_opt option_table[] = {
    {"-seed=%u", offsetof(startup_options, seed), 0},
    {"-basedir=%s", offsetof(startup_options, basedir), 0},
    {"-quiet", offsetof(startup_options, quiet), 1},
    {"-draws=%s", offsetof(startup_options, draws), 0},
    {"-trace=%s", offsetof(startup_options, trace), 0},
    {"-rules=%s", offsetof(startup_options, rules), 0},
    {"-strict", offsetof(startup_options, strict), 1},
    {"-check-rules=%s", offsetof(startup_options, check_rules), 0},
    {"-control=%s", offsetof(startup_options, control), 0},
    {"-direct_io_regexp=%s", offsetof(startup_options, direct_io_regexp), 0},
    FUSE_OPT_KEY("-d", KEY_DEBUG),
    FUSE_OPT_KEY("-V", KEY_VERSION),
    FUSE_OPT_KEY("-v", KEY_VERSION),
    FUSE_OPT_KEY("--version", KEY_VERSION),
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_KEY("allow_other", KEY_ALLOW_OTHER),
    FUSE_OPT_KEY("default_permissions", KEY_DEFAULT_PERMISSIONS),
    FUSE_OPT_KEY("direct_io", KEY_DIRECT_IO),
    FUSE_OPT_KEY("subdir", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("modules=", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_END,
};

int run_fuse(fuse_args &args)
{
    return fuse_main_real(args.argc, args.argv, &fs_operations,
                          sizeof(fs_operations), nullptr);
}

int option_proc(void *, const char *arg, int key, fuse_args *outargs)
{
    switch (key) {
    case FUSE_OPT_KEY_NONOPT:
        if (given.mount_point == nullptr)
            given.mount_point = strdup(arg);
        return 1;
    case KEY_HELP:
        fputs(USAGE, stderr);
        exit(1);
    case KEY_VERSION:
        fprintf(stderr, "tavrin version %s\n", VERSION);
        fuse_opt_add_arg(outargs, "--version");
        run_fuse(*outargs);  // libfuse reports its own version
        exit(1);
    case KEY_ALLOW_OTHER:
        given.allow_other = true;
        return 1;
    case KEY_DEFAULT_PERMISSIONS:
        given.default_permissions = true;
        return 1;
    case KEY_DIRECT_IO:
        given.direct_io = true;
        return 1;
    default:
        return 1;
    }
}

int is_directory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Without -f libfuse points 0..2 at /dev/null itself; in the foreground they
// may have been closed by whoever started us. Keeping them open means a host
// open never returns 0, so fh == 0 always means "no descriptor of ours".
void keep_standard_descriptors_open()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened != fd && opened != -1)
                close(opened);
        }
    }
}

// The resolved base directory ending in one '/': what the hook sees in front
// of every path ("/" for base "/", so no path starts with "//").
std::string path_prefix(const std::string &basedir)
{
    std::string path = basedir;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

// allow_other lets every local user in; without the kernel's permission
// checks the daemon, as root, would open whatever any of them asked for.
bool add_mount_options(fuse_args &args)
{
    // The base directory's inode numbers, so two links of a file show one.
    if (fuse_opt_add_arg(&args, "-ouse_ino") != 0)
        return false;
    if (given.allow_other && !given.default_permissions) {
        fprintf(stderr, "allow_other without default_permissions: adding default_permissions\n");
        return fuse_opt_add_arg(&args, "-odefault_permissions") == 0;
    }
    return true;
}

// An option text fuse_opt allocated, as a string; the field is emptied.
std::string take_text(char *&field)
{
    std::string text = field != nullptr ? field : "";
    free(field);
    field = nullptr;
    return text;
}

// The trace's first event: what this run is, so that it can be repeated.
void trace_start(int argc, char *argv[])
{
    nlohmann::json options = nlohmann::json::array();
    for (int i = 1; i < argc; ++i) {
        nlohmann::json word;
        trace_text(word, "arg", argv[i]);
        options.push_back(word.contains("arg") ? word["arg"] : word);
    }
    nlohmann::json event = {{"event", "start"},
                            {"seed", mount_state.seed},
                            {"version", VERSION},
                            {"draws", mount_state.keyed_draws ? "keyed" : "sequence"},
                            {"options", options}};
    trace_text(event, "basedir", mount_state.basedir);
    trace_write(std::move(event));
}

void trace_end(int result)
{
    injection_trace_summary();
    trace_write({{"event", "end"}, {"seed", mount_state.seed}, {"status", result}});
    trace_close();
}

// -check-rules=FILE: the file read as a mount would read it, its complaints
// on standard error, the rules as understood on standard output; 0 when
// nothing was wrong.
int check_rules(const std::string &path)
{
    const rule_set_ptr set = rule_set_load(path.c_str(), false, AT_FDCWD, nullptr, REPORT_CHECKED);
    if (!set) {
        fprintf(stderr, "%s: cannot be read: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    injection_mount_warnings(*set);
    rule_set_print_complaints(*set, path.c_str());
    for (const injection_rule &rule : set->rules)
        printf("%s\n", rule_describe(rule).c_str());
    return rule_set_has_complaints(*set) ? 1 : 0;
}

// Whether something is mounted at path already (its resolved form).
bool already_mounted(const char *path)
{
    char *resolved = path != nullptr ? realpath(path, nullptr) : nullptr;
    if (resolved == nullptr)
        return false;
    const bool mounted = is_mount_point(resolved);
    free(resolved);
    return mounted;
}

// Every file written before a power cut keeps a descriptor in the record of
// unsynced changes until it is synced; the soft limit must not be what
// stops a change from being recorded.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char *argv[])
{
    keep_standard_descriptors_open();
    // Trigger lines must reach a log or pipe as they happen and in step with
    // standard error, and survive libfuse's fork into the background.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The kernel has applied the caller's umask already; ours must not mask
    // the requested modes a second time.
    umask(0);
    raise_descriptor_limit();

    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    given.seed = static_cast<uint32_t>(time(nullptr));
    // Allocated, so that an option parser which frees the field's earlier
    // value on "-basedir=" is safe. libfuse 2.9's parser does not free it,
    // and leaves the default unreferenced.
    given.basedir = strdup("/");
    char *const default_basedir = given.basedir;

    // libfuse has said which option it could not read; what it left of the
    // argument list is no longer safe to hand on.
    if (fuse_opt_parse(&args, &given, option_table, option_proc) != 0) {
        fprintf(stderr, "the command line cannot be read: nothing mounted\n");
        return 1;
    }
    if (given.basedir != default_basedir)
        free(default_basedir);
    mount_state.seed = given.seed;
    mount_state.quiet = given.quiet != 0;
    mount_state.direct_io = given.direct_io;
    mount_state.strict = given.strict != 0;
    if (given.check_rules != nullptr) {
        fuse_opt_free_args(&args);
        return check_rules(take_text(given.check_rules));
    }

    srand(mount_state.seed);
    printf("random seed = %d\n", static_cast<int>(mount_state.seed));

    const std::string basedir = take_text(given.basedir);
    if (!is_directory(basedir.c_str())) {
        fprintf(stderr, "basedir ('%s') is not a directory\n", basedir.c_str());
        fuse_opt_free_args(&args);
        return 1;
    }

    char *resolved = realpath(basedir.c_str(), nullptr);
    if (resolved == nullptr) {
        perror("realpath");
        fuse_opt_free_args(&args);
        return 1;
    }
    mount_state.basedir = resolved;
    free(resolved);

    // Both texts are read here once and let go.
    const std::string draws = take_text(given.draws), trace = take_text(given.trace);
    if (!draws.empty()) {
        if (draws != "keyed" && draws != "sequence") {
            fprintf(stderr, "draws ('%s') is neither sequence nor keyed\n", draws.c_str());
            fuse_opt_free_args(&args);
            return 1;
        }
        mount_state.keyed_draws = draws == "keyed";
    }
    if (!trace.empty()) {
        if (!trace_open(trace.c_str())) {
            fprintf(stderr, "trace ('%s') cannot be written: %s\n", trace.c_str(),
                    strerror(errno));
            fuse_opt_free_args(&args);
            return 1;
        }
        trace_start(argc, argv);
    }

    // Every host call is made relative to this descriptor, which keeps
    // serving the same directory if it is renamed or moved while mounted.
    mount_state.base_fd = open(mount_state.basedir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (mount_state.base_fd == -1) {
        perror("open");
        fuse_opt_free_args(&args);
        return 1;
    }
    // What a daemon that was killed kept for a power cut's undo goes: the
    // power never went out, so it all counts as durable.
    if (names_clear_leftover(mount_state.base_fd) != 0)
        fprintf(stderr, "power cut: %s/%s is not tavrin's: name changes cannot be recorded\n",
                mount_state.basedir.c_str(), NAMES_HIDDEN_DIR);
    if (!add_mount_options(args)) {
        perror("fuse_opt_add_arg");
        fuse_opt_free_args(&args);
        return 1;
    }

    mount_state.path_prefix = path_prefix(mount_state.basedir);
    mount_state.config_path = mount_state.path_prefix + RULE_FILE_NAME;
    // Rules from elsewhere: the base directory's tavrin.conf is then a file
    // like any other, and SIGHUP re-reads them.
    if (given.rules != nullptr) {
        const std::string rules = take_text(given.rules);
        char *rules_path = realpath(rules.c_str(), nullptr);
        if (rules_path == nullptr) {
            fprintf(stderr, "rules ('%s') cannot be read: %s\n", rules.c_str(), strerror(errno));
            fuse_opt_free_args(&args);
            return 1;
        }
        mount_state.config_path = rules_path;
        free(rules_path);
        events_reread_on_hangup(true);
    }
    // With a control socket a cut may be ordered at any moment: everything is
    // recorded from the start.
    mount_state.control = given.control != nullptr;
    rule_set_ptr rules = injection_load_rules();
    if (injection_rules_refused(rules.get())) {
        fprintf(stderr, "rules ('%s') refused: nothing mounted\n", mount_state.config_path.c_str());
        fuse_opt_free_args(&args);
        return 1;
    }
    injection_install_rules(std::move(rules));
    if (!mount_state.rules)
        printf("error injections are not configured!\n");

    pthread_rwlockattr_t writer_first;
    pthread_rwlockattr_init(&writer_first);
    pthread_rwlockattr_setkind_np(&writer_first, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int lock_status = pthread_rwlock_init(&mount_state.lock, &writer_first);
    pthread_rwlockattr_destroy(&writer_first);
    if (lock_status != 0) {
        fuse_opt_free_args(&args);
        errno = lock_status;
        perror("pthread_mutex_init");
        return 1;
    }

    if (given.mount_point != nullptr) {
        if (char *point = realpath(given.mount_point, nullptr)) {
            mount_state.mount_point = point;
            free(point);
        }
    }
    // libfuse would stack a second mount, or hint at "nonempty".
    if (already_mounted(given.mount_point)) {
        fprintf(stderr, "mount point ('%s') is already mounted\n", given.mount_point);
        fuse_opt_free_args(&args);
        return 1;
    }

    if (given.direct_io_regexp != nullptr) {
        const std::string pattern = take_text(given.direct_io_regexp);
        std::string why;
        if (!fs_direct_io_for(pattern.c_str(), why)) {
            fprintf(stderr, "direct_io_regexp ('%s') does not compile: %s\n", pattern.c_str(),
                    why.c_str());
            fuse_opt_free_args(&args);
            return 1;
        }
    }
    if (given.control != nullptr) {
        const std::string control = take_text(given.control);
        if (const int error = control_open(control.c_str())) {
            fprintf(stderr, "control ('%s') cannot listen: %s\n", control.c_str(),
                    error == -EEXIST ? "something is there already" : strerror(-error));
            fuse_opt_free_args(&args);
            return 1;
        }
        events_serve_control(true);
    }

    printf("starting FUSE filesystem tavrin\n");
    const int result = run_fuse(args);
    // The record's hidden directory and the control socket go with the mount.
    names_stop();
    control_close();

    fuse_opt_free_args(&args);
    if (result == 0)
        trace_end(result);
    trace_close();
    rule_set_free(std::move(mount_state.rules));
    mount_state.config_path.clear();
    mount_state.config_path.shrink_to_fit();

    if (result == 0)
        printf("random seed = %d\n", static_cast<int>(mount_state.seed));
    return result;
}
