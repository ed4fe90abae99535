/* crashui client: catches the host's crash, writes a minidump and starts crashui.
 *
 * Call crashui_install() once, early, on the main thread; call crashui_thread_init() at the
 * start of every other thread that should survive its own stack overflow long enough to be
 * reported. Both may allocate; the crash path itself never does.
 *
 * At SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP or SIGSYS the handler writes
 * ROOT_DIR/dumps/<dump_base>_<tag>.dmp (a minidump), starts crashui detached as
 *     crashui ROOT_DIR <dump_base>_<tag> [RESTART_PATH [RESTART_ARGS...]]
 * then restores the handlers that were there before, calls the one the host had installed for
 * that signal (if any) and re-raises, so the host ends with its own signal. */
#ifndef CRASHUI_CLIENT_H
#define CRASHUI_CLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

struct crashui_client_options {
    /* The host's root directory (required); dumps go to ROOT_DIR/dumps; both are made
     * if missing. */
    const char* root_dir;
    /* Base of the dump's name; NULL gives "crash". */
    const char* dump_base;
    /* The log tag that ends the dump's name, as the host's log files carry it; NULL gives the
     * process id of the process that crashes. */
    const char* log_tag;
    /* The crashui program; NULL writes the dump and starts nothing. */
    const char* crashui_path;
    /* The program crashui may restart, and its arguments (NULL-terminated, may be NULL). */
    const char* restart_path;
    const char* const* restart_args;
};

/* Prepares everything the crash path needs (paths, argument and environment vectors as they
 * are now, buffers, an alternate signal stack for the calling thread) and installs the
 * handlers. Returns 0, or -1 with errno set: EINVAL (no root_dir), EBUSY (already installed),
 * ENOSYS (a processor this library cannot describe yet), or what a system call reported. Not
 * thread-safe: call it before other threads can crash. */
int crashui_install(const struct crashui_client_options* options);

/* Gives the calling thread an alternate signal stack, so that a stack overflow on it is still
 * reported; freed when the thread ends. Returns 0, or -1 with errno set. Safe on any thread,
 * before or after crashui_install(). */
int crashui_thread_init(void);

#ifdef __cplusplus
}
#endif

#endif
