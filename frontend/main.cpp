// Start-up: parse the command line, seed and report the generator, resolve the
// base directory, point libfuse's subdir module at it, load the rules and run
// the filesystem until it is unmounted. Exit status 1 for help, version and
// every start-up failure, otherwise libfuse's own result.
#include <fcntl.h>
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
    "\n";

enum { KEY_HELP, KEY_VERSION, KEY_DEBUG };

// fuse_opt stores "-seed=", "-basedir=" and "-quiet" straight into mount_state.
static_assert(std::is_standard_layout_v<mount_state_record>,
              "option_table names fields of mount_state by offset");

const fuse_opt option_table[] = {
    {"-seed=%u", offsetof(mount_state_record, seed), 0},
    {"-basedir=%s", offsetof(mount_state_record, basedir), 0},
    {"-quiet", offsetof(mount_state_record, quiet), 1},
    FUSE_OPT_KEY("-d", KEY_DEBUG),
    FUSE_OPT_KEY("-V", KEY_VERSION),
    FUSE_OPT_KEY("-v", KEY_VERSION),
    FUSE_OPT_KEY("--version", KEY_VERSION),
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_KEY("subdir", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("modules=", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_END,
};

int run_fuse(fuse_args &args)
{
    return fuse_main_real(args.argc, args.argv, &fs_operations,
                          sizeof(fs_operations), nullptr);
}

int option_proc(void *, const char *, int key, fuse_args *outargs)
{
    switch (key) {
    case KEY_HELP:
        fputs(USAGE, stderr);
        exit(1);
    case KEY_VERSION:
        fprintf(stderr, "tavrin version %s\n", VERSION);
        fuse_opt_add_arg(outargs, "--version");
        run_fuse(*outargs);  // libfuse reports its own version
        exit(1);
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

// libfuse's option parser splits at commas and takes a backslash as an escape.
std::string subdir_option(const char *basedir)
{
    std::string option = "-omodules=subdir,subdir=";
    for (const char *c = basedir; *c != '\0'; ++c) {
        if (*c == ',' || *c == '\\')
            option += '\\';
        option += *c;
    }
    return option;
}

// With base "/" there is no second separator, so the path the operations see
// ("/tavrin.conf") equals config_path and the rule file can be re-read.
std::string rule_file_path(const std::string &basedir)
{
    std::string path = basedir;
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + RULE_FILE_NAME;
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

    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    mount_state.seed = static_cast<uint32_t>(time(nullptr));
    // Allocated, so that an option parser which frees the field's earlier
    // value on "-basedir=" is safe. libfuse 2.9's parser does not free it,
    // and leaves the default unreferenced.
    mount_state.basedir = strdup("/");
    char *const default_basedir = mount_state.basedir;

    // A failed parse has been reported by libfuse; go on with what it stored.
    fuse_opt_parse(&args, &mount_state, option_table, option_proc);
    if (mount_state.basedir != default_basedir)
        free(default_basedir);

    srand(mount_state.seed);
    printf("random seed = %d\n", static_cast<int>(mount_state.seed));

    if (mount_state.basedir == nullptr || !is_directory(mount_state.basedir)) {
        fprintf(stderr, "basedir ('%s') is not a directory\n",
                mount_state.basedir ? mount_state.basedir : "");
        fuse_opt_free_args(&args);
        return 1;
    }

    char *resolved = realpath(mount_state.basedir, nullptr);
    if (resolved == nullptr) {
        perror("realpath");
        fuse_opt_free_args(&args);
        return 1;
    }
    free(mount_state.basedir);
    mount_state.basedir = resolved;

    // Without this option every path would name a file under the host's root.
    if (fuse_opt_add_arg(&args, subdir_option(resolved).c_str()) != 0) {
        perror("fuse_opt_add_arg");
        fuse_opt_free_args(&args);
        return 1;
    }

    mount_state.config_path = rule_file_path(resolved);
    mount_state.rules = rule_set_load(mount_state.config_path.c_str(), mount_state.quiet != 0);
    if (!mount_state.rules)
        printf("error injections are not configured!\n");

    const int lock_status = pthread_mutex_init(&mount_state.lock, nullptr);
    if (lock_status != 0) {
        fuse_opt_free_args(&args);
        errno = lock_status;
        perror("pthread_mutex_init");
        return 1;
    }

    printf("starting FUSE filesystem tavrin\n");
    const int result = run_fuse(args);

    fuse_opt_free_args(&args);
    rule_set_free(std::move(mount_state.rules));
    mount_state.config_path.clear();
    mount_state.config_path.shrink_to_fit();

    if (result == 0)
        printf("random seed = %d\n", static_cast<int>(mount_state.seed));
    return result;
}
