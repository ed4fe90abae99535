/* The minidump of a crashed process, written from inside its signal handler.
 *
 * minidump_prepare() runs at install time and may allocate; minidump_write() runs in the
 * signal handler: it uses only async-signal-safe system calls and the buffers prepared before,
 * and never allocates. */
#ifndef CRASHUI_CLIENT_MINIDUMPWRITER_H
#define CRASHUI_CLIENT_MINIDUMPWRITER_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct minidump_module_slot;

struct minidump_plan {
    /* What the system information stream says, gathered once. */
    uint16_t cpu_level;
    uint16_t cpu_revision;
    uint8_t cpu_count;
    uint32_t os_major, os_minor, os_build;
    uint32_t cpu_vendor[3];
    uint32_t cpu_version, cpu_features, cpu_amd_features;
    char os_text[512];
    /* The process's environment strings: never written, they may hold secrets. */
    uint64_t env_start, env_end;
    /* Scratch space for the crash path. */
    char* maps;
    size_t maps_cap;
    struct minidump_module_slot* modules;
    size_t modules_cap;
    unsigned char* io;
    size_t io_cap;
    uint32_t* tids;
    size_t tids_cap;
};

struct minidump_crash {
    int signo;
    const siginfo_t* info;
    const void* context; /* the ucontext_t the kernel handed to the handler */
    pid_t tid;
};

/* 0, or -1 with errno set (ENOSYS: this processor is not described yet). */
int minidump_prepare(struct minidump_plan* plan);

/* Writes the dump to fd (an empty file open for writing). 0 when every byte was written, -1
 * when a write failed (the file then holds what could be written). */
int minidump_write(int fd, struct minidump_plan* plan, const struct minidump_crash* crash);

#endif
