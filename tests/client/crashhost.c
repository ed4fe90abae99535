/* A host that crashes as asked, with the crash handler installed:
 *     crashhost KIND ROOT_DIR CRASHUI_PATH [HOST_HANDLER_MARKER]
 * KIND: null, abort, divzero, stackoverflow, thread, threadoverflow, bus, illegal, trap, syscall. The dump is
 * ROOT_DIR/dumps/hostcrash_<pid>.dmp; crashui gets "<self> --restarted KIND" to restart. With a
 * marker path, the host installs a SIGSEGV/SIGABRT/SIGFPE handler of its own first, which
 * appends "host handler <signal>" to that file (with the marker "crash", it crashes instead). Built with
 * CRASHHOST_GUARD_MALLOC, any malloc family call made on the alternate signal stack ends the process with exit code 86.
 */
#define _GNU_SOURCE
#include <crashui/client.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifdef CRASHHOST_GUARD_MALLOC
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

static void refuse_on_signal_stack(void)
{
    stack_t ss;
    if (sigaltstack(NULL, &ss) == 0 && (ss.ss_flags & SS_ONSTACK))
        _exit(86);
}
void* malloc(size_t n)
{
    refuse_on_signal_stack();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size)
{
    refuse_on_signal_stack();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n)
{
    refuse_on_signal_stack();
    return __libc_realloc(p, n);
}
void free(void* p)
{
    refuse_on_signal_stack();
    __libc_free(p);
}
#endif

static const char* marker;
static volatile int zero;
static volatile int sink;

static void host_handler(int signo)
{
    if (strcmp(marker, "crash") == 0)
        *(volatile int*)(uintptr_t)zero = signo; /* a handler that crashes in its turn */
    int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0600);
    char line[32] = "host handler ";
    size_t n = strlen(line);
    line[n++] = (char)('0' + signo / 10);
    line[n++] = (char)('0' + signo % 10);
    line[n++] = '\n';
    if (fd >= 0) {
        sink = (int)write(fd, line, n);
        close(fd);
    }
}

__attribute__((noinline)) static void crash_null(void)
{
    *(volatile int*)(uintptr_t)zero = 1;
}

__attribute__((noinline)) static int recurse(int depth)
{
    volatile char frame[512];
    frame[0] = (char)depth;
    if (zero < 0)
        return 0;
    return recurse(depth + 1) + frame[0];
}

static void* crash_thread(void* overflow)
{
    crashui_thread_init();
    if (overflow)
        sink = recurse(0);
    else
        crash_null();
    return NULL;
}

static void trap_a_syscall(void)
{
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_uselib, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("seccomp");
        exit(3);
    }
    syscall(SYS_uselib, NULL);
}

__attribute__((noinline)) static void crash_by_kind(const char* kind, const char* root)
{
    if (strcmp(kind, "null") == 0) {
        crash_null();
    } else if (strcmp(kind, "abort") == 0) {
        abort();
    } else if (strcmp(kind, "divzero") == 0) {
        sink = sink / zero;
    } else if (strcmp(kind, "stackoverflow") == 0) {
        sink = recurse(0);
    } else if (strcmp(kind, "thread") == 0 || strcmp(kind, "threadoverflow") == 0) {
        pthread_t thread;
        pthread_create(&thread, NULL, crash_thread, kind[6] ? (void*)1 : NULL);
        pthread_join(thread, NULL);
    } else if (strcmp(kind, "bus") == 0) {
        char path[4096];
        snprintf(path, sizeof path, "%s/empty", root);
        int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
        volatile char* page = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        page[0] = 1;
    } else if (strcmp(kind, "illegal") == 0) {
        __builtin_trap();
    } else if (strcmp(kind, "trap") == 0) {
        __asm__ volatile("int3");
    } else if (strcmp(kind, "syscall") == 0) {
        trap_a_syscall();
    }
    sink = 0; /* keeps the calls above from being tail calls: the caller stays on the stack */
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: crashhost KIND ROOT_DIR CRASHUI_PATH [HOST_HANDLER_MARKER]\n");
        return 2;
    }
    if (argc > 4) {
        marker = argv[4];
        signal(SIGSEGV, host_handler);
        signal(SIGABRT, host_handler);
        signal(SIGFPE, host_handler);
    }
    const char* restart_args[] = {"--restarted", argv[1], NULL};
    struct crashui_client_options options = {
        .root_dir = argv[2],
        .dump_base = "hostcrash",
        .crashui_path = argv[3],
        .restart_path = argv[0],
        .restart_args = restart_args,
    };
    if (crashui_install(&options) != 0) {
        perror("crashui_install");
        return 3;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("crashing at %lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    fflush(stdout);
    crash_by_kind(argv[1], argv[2]);
    fprintf(stderr, "no crash: %s\n", argv[1]);
    return 4;
}
