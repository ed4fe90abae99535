#define _GNU_SOURCE
#include "client/minidumpwriter.h"
#include "crashui/client.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define CRASHUI_EXPORT __attribute__((visibility("default")))

extern char** environ;

static const int crash_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
enum { SIGNAL_COUNT = sizeof crash_signals / sizeof crash_signals[0] };

/* Everything the crash path reads, prepared by crashui_install. */
static struct {
    int installed;
    struct sigaction previous[SIGNAL_COUNT];
    struct minidump_plan plan;
    char dump_path[PATH_MAX + 64]; /* "ROOT_DIR/dumps/", then the name is put behind it */
    size_t dump_dir_len;
    char dumps_dir[PATH_MAX + 8];
    char name[PATH_MAX]; /* "<base>_<tag>", completed at the crash */
    size_t base_len;
    int tag_is_pid;
    char** argv;
    char** envp;
    pthread_key_t stack_key;
} g;

/* The thread that is writing the dump; 0 while no crash is being handled. */
static atomic_int crashing_tid;

static pid_t current_tid(void)
{
    return (pid_t)syscall(SYS_gettid);
}

/* ---- Alternate signal stacks ---- */

static size_t alt_stack_size(void)
{
#ifdef _SC_SIGSTKSZ
    long minimum = sysconf(_SC_SIGSTKSZ); /* grows with the processor's register state */
#else
    long minimum = SIGSTKSZ;
#endif
    size_t size = 64 * 1024;
    if (minimum > 0 && (size_t)minimum * 4 > size)
        size = (size_t)minimum * 4;
    return size;
}

/* An alternate stack with a guard page below it, so that a handler running off its end faults
 * (and ends the process) instead of writing over other memory. */
static void* new_alt_stack(size_t size)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    unsigned char* p = mmap(NULL, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return NULL;
    mprotect(p, page, PROT_NONE);
    return p + page;
}

static void free_alt_stack(void* stack)
{
    if (!stack)
        return;
    stack_t off = {.ss_flags = SS_DISABLE};
    stack_t current;
    if (sigaltstack(NULL, &current) == 0 && current.ss_sp == stack)
        sigaltstack(&off, NULL);
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    munmap((unsigned char*)stack - page, alt_stack_size() + page);
}

static pthread_once_t key_once = PTHREAD_ONCE_INIT;
static int key_ok;

static void make_key(void)
{
    key_ok = pthread_key_create(&g.stack_key, free_alt_stack) == 0;
}

CRASHUI_EXPORT int crashui_thread_init(void)
{
    stack_t current;
    if (sigaltstack(NULL, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_size >= alt_stack_size())
        return 0; /* the thread has one already, ours or the host's */
    pthread_once(&key_once, make_key);
    size_t size = alt_stack_size();
    void* stack = new_alt_stack(size);
    if (!stack)
        return -1;
    stack_t ss = {.ss_sp = stack, .ss_size = size, .ss_flags = 0};
    if (sigaltstack(&ss, NULL) != 0) {
        int saved = errno;
        size_t page = (size_t)sysconf(_SC_PAGESIZE);
        munmap((unsigned char*)stack - page, size + page);
        errno = saved;
        return -1;
    }
    if (key_ok)
        pthread_setspecific(g.stack_key, stack);
    return 0;
}

/* ---- The crash path: async-signal-safe calls only, no allocation ---- */

static void put_decimal(char* to, unsigned long value)
{
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (size_t i = 0; i < n; ++i)
        to[i] = digits[n - 1 - i];
    to[n] = '\0';
}

static void complete_name(void)
{
    if (g.tag_is_pid)
        put_decimal(g.name + g.base_len, (unsigned long)getpid());
    size_t len = strlen(g.name);
    memcpy(g.dump_path + g.dump_dir_len, g.name, len);
    memcpy(g.dump_path + g.dump_dir_len + len, ".dmp", 5);
}

static void write_dump(int signo, siginfo_t* info, void* context, pid_t tid)
{
    mkdir(g.dumps_dir, 0700);
    int fd = open(g.dump_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    struct minidump_crash crash = {signo, info, context, tid};
    minidump_write(fd, &g.plan, &crash);
    close(fd);
}

/* fork(2) without the C library's fork handlers: those take locks (malloc's among them) that
 * the crashed thread may hold. */
static pid_t raw_fork(void)
{
    return (pid_t)syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
}

static void close_inherited_files(void)
{
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
    struct rlimit limit;
    rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? limit.rlim_cur : 65536;
    for (rlim_t fd = 3; fd < top; ++fd)
        close((int)fd);
}

/* Starts crashui in a grandchild, so that it belongs to no one who is about to die; the child
 * ends at once, and only the wait for it stands between the crash and the host's end. */
static void start_crashui(void)
{
    if (!g.argv)
        return;
    pid_t child = raw_fork();
    if (child < 0)
        return;
    if (child == 0) {
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        for (int i = 0; i < SIGNAL_COUNT; ++i)
            sigaction(crash_signals[i], &dfl, NULL);
        if (raw_fork() == 0) {
            setsid();
            /* crashui has no business with the host's input; its output goes where the host's
             * went. */
            int null = open("/dev/null", O_RDONLY);
            if (null >= 0)
                dup2(null, 0);
            close_inherited_files();
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, NULL);
            syscall(SYS_execve, g.argv[0], g.argv, g.envp);
            syscall(SYS_exit_group, 127);
        }
        syscall(SYS_exit_group, 0);
    }
    /* Bounded, though the child only forks: nothing may keep the host from its end. */
    for (int waited = 0; waited < 2000; ++waited) {
        pid_t done = waitpid(child, NULL, WNOHANG | __WALL);
        if (done == child || (done < 0 && errno != EINTR))
            return;
        struct timespec ms = {0, 1000000};
        nanosleep(&ms, NULL);
    }
}

static void restore_previous_handlers(void)
{
    for (int i = 0; i < SIGNAL_COUNT; ++i)
        sigaction(crash_signals[i], &g.previous[i], NULL);
}

/* Ends the process by the signal's default action: the exit status and core the host would
 * have had without us. */
static void die_by(int signo)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(signo, &dfl, NULL);
    syscall(SYS_tgkill, getpid(), current_tid(), signo);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    sigprocmask(SIG_UNBLOCK, &only, NULL);
    syscall(SYS_exit_group, 128 + signo);
}

static void crash_handler(int signo, siginfo_t* info, void* context)
{
    pid_t tid = current_tid();
    int expected = 0;
    if (!atomic_compare_exchange_strong(&crashing_tid, &expected, tid)) {
        if (expected == tid)
            die_by(signo); /* a crash while handling ours: no second attempt */
        /* Another thread is writing the dump of an earlier crash and will end the process. */
        for (;;)
            pause();
    }
    complete_name();
    write_dump(signo, info, context, tid);
    start_crashui();
    restore_previous_handlers();
    int index = 0;
    while (crash_signals[index] != signo)
        ++index;
    const struct sigaction* host = &g.previous[index];
    if (host->sa_flags & SA_SIGINFO) {
        if (host->sa_handler != SIG_DFL && host->sa_handler != SIG_IGN)
            host->sa_sigaction(signo, info, context);
    } else if (host->sa_handler != SIG_DFL && host->sa_handler != SIG_IGN) {
        host->sa_handler(signo);
    }
    die_by(signo);
}

/* ---- Installation ---- */

static char* copy_text(const char* text)
{
    return strdup(text ? text : "");
}

/* mkdir -p: the host's root may not exist yet when it installs the handler. */
static void make_path(char* path)
{
    for (char* p = path + 1; *p; ++p) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(path, 0700);
        *p = '/';
    }
    mkdir(path, 0700);
}

static int too_long(const char* text, size_t room)
{
    return strlen(text) >= room;
}

CRASHUI_EXPORT int crashui_install(const struct crashui_client_options* options)
{
    if (!options || !options->root_dir || !*options->root_dir) {
        errno = EINVAL;
        return -1;
    }
    if (g.installed) {
        errno = EBUSY;
        return -1;
    }
    const char* base = options->dump_base ? options->dump_base : "crash";
    if (too_long(options->root_dir, PATH_MAX - 16) || too_long(base, NAME_MAX / 2) ||
        (options->log_tag && too_long(options->log_tag, NAME_MAX / 2)) || strchr(base, '/') ||
        (options->log_tag && strchr(options->log_tag, '/'))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (minidump_prepare(&g.plan) != 0)
        return -1;

    strcpy(g.dumps_dir, options->root_dir);
    strcat(g.dumps_dir, "/dumps");
    make_path(g.dumps_dir);
    strcpy(g.dump_path, g.dumps_dir);
    strcat(g.dump_path, "/");
    g.dump_dir_len = strlen(g.dump_path);
    strcpy(g.name, base);
    strcat(g.name, "_");
    g.base_len = strlen(g.name);
    g.tag_is_pid = options->log_tag == NULL;
    if (options->log_tag)
        strcat(g.name, options->log_tag);

    if (options->crashui_path) {
        size_t extra = 0;
        while (options->restart_args && options->restart_args[extra])
            ++extra;
        g.argv = calloc(5 + extra, sizeof *g.argv);
        size_t env_count = 0;
        while (environ && environ[env_count])
            ++env_count;
        g.envp = calloc(env_count + 1, sizeof *g.envp);
        if (!g.argv || !g.envp) {
            errno = ENOMEM;
            return -1;
        }
        size_t n = 0;
        g.argv[n++] = copy_text(options->crashui_path);
        g.argv[n++] = copy_text(options->root_dir);
        g.argv[n++] = g.name;
        if (options->restart_path) {
            g.argv[n++] = copy_text(options->restart_path);
            for (size_t i = 0; i < extra; ++i)
                g.argv[n++] = copy_text(options->restart_args[i]);
        }
        for (size_t i = 0; i < env_count; ++i)
            g.envp[i] = copy_text(environ[i]);
    }
    if (crashui_thread_init() != 0)
        return -1;

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = crash_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    /* Every crash signal is held while the handler runs: the kernel then ends the process by
     * the default action at a fault inside the handler, at once. */
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < SIGNAL_COUNT; ++i)
        sigaddset(&action.sa_mask, crash_signals[i]);
    for (int i = 0; i < SIGNAL_COUNT; ++i) {
        if (sigaction(crash_signals[i], &action, &g.previous[i]) != 0) {
            int saved = errno;
            for (int j = 0; j < i; ++j)
                sigaction(crash_signals[j], &g.previous[j], NULL);
            errno = saved;
            return -1;
        }
    }
    g.installed = 1;
    return 0;
}
