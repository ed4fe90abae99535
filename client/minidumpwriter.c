#define _GNU_SOURCE
#include "client/minidumpwriter.h"
#include "client/minidumpformat.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

enum {
    STREAM_COUNT = 10,
    STACK_CAP = 256 * 1024,
    RED_ZONE = 128, /* below the stack pointer, still the crashed function's */
    CODE_AROUND_IP = 256,
    BUILD_ID_MAX = 64,
    GROUP_RANGES = 16,
};

struct minidump_module_slot {
    uint64_t base, end;
    const char* path; /* into the maps text */
    uint32_t path_len;
    uint32_t build_id_len;
    unsigned char build_id[BUILD_ID_MAX];
    struct md_location name, cv;
};

/* ---- The output file: a buffer in front of write(2), and the position in the dump. ---- */

struct out {
    int fd;
    uint64_t pos;
    unsigned char* buf;
    size_t len, cap;
    int failed;
};

static void write_all(struct out* o, const void* data, size_t n)
{
    const unsigned char* p = data;
    while (n > 0) {
        ssize_t done = write(o->fd, p, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            o->failed = 1;
            return;
        }
        p += done;
        n -= (size_t)done;
    }
}

static void out_flush(struct out* o)
{
    if (o->len > 0)
        write_all(o, o->buf, o->len);
    o->len = 0;
}

static void out_bytes(struct out* o, const void* data, size_t n)
{
    const unsigned char* p = data;
    while (n > 0) {
        if (o->len == o->cap)
            out_flush(o);
        size_t k = o->cap - o->len < n ? o->cap - o->len : n;
        memcpy(o->buf + o->len, p, k);
        o->len += k;
        o->pos += k;
        p += k;
        n -= k;
    }
}

static void out_zeros(struct out* o, size_t n)
{
    while (n > 0) {
        if (o->len == o->cap)
            out_flush(o);
        size_t k = o->cap - o->len < n ? o->cap - o->len : n;
        memset(o->buf + o->len, 0, k);
        o->len += k;
        o->pos += k;
        n -= k;
    }
}

static void out_align(struct out* o)
{
    out_zeros(o, (size_t)(-o->pos & 7));
}

static struct md_location out_record(struct out* o, const void* data, size_t n)
{
    out_align(o);
    struct md_location at = {(uint32_t)n, (uint32_t)o->pos};
    out_bytes(o, data, n);
    return at;
}

/* Copies the process's own memory [addr, addr + n) into the dump. write(2) reads it for us, so
 * a page that went away reports EFAULT instead of faulting here; such pages and the environment
 * strings become zeros. */
static void out_memory(struct out* o, uint64_t addr, size_t n, uint64_t hide_start, uint64_t hide_end)
{
    out_flush(o);
    uint64_t end = addr + n;
    while (addr < end && !o->failed) {
        uint64_t stop = end;
        if (addr >= hide_start && addr < hide_end) {
            stop = hide_end < end ? hide_end : end;
            out_zeros(o, stop - addr);
            out_flush(o);
            addr = stop;
            continue;
        }
        if (hide_start > addr && hide_start < stop)
            stop = hide_start;
        /* The system call itself: a sanitizer's write() would check the bytes it reads. */
        ssize_t done = syscall(SYS_write, o->fd, (const void*)(uintptr_t)addr, (size_t)(stop - addr));
        if (done < 0 && errno == EINTR)
            continue;
        if (done > 0) {
            o->pos += (uint64_t)done;
            addr += (uint64_t)done;
            continue;
        }
        if (done < 0 && errno != EFAULT) {
            o->failed = 1;
            return;
        }
        uint64_t next_page = (addr | 4095) + 1;
        stop = next_page < stop ? next_page : stop;
        out_zeros(o, stop - addr);
        out_flush(o);
        addr = stop;
    }
}

/* Appends a /proc or /etc file as it reads now; its size is what could be read. */
static struct md_location out_file(struct out* o, const char* path)
{
    out_align(o);
    struct md_location at = {0, (uint32_t)o->pos};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return at;
    for (;;) {
        if (o->len == o->cap)
            out_flush(o);
        ssize_t n = read(fd, o->buf + o->len, o->cap - o->len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        o->len += (size_t)n;
        o->pos += (uint64_t)n;
        at.data_size += (uint32_t)n;
    }
    close(fd);
    return at;
}

/* A length-prefixed UTF-16LE string, from UTF-8 (bytes that are not UTF-8 pass as Latin-1). */
static struct md_location out_string(struct out* o, const char* text, size_t len)
{
    uint32_t units = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            out_align(o);
            uint32_t bytes = units * 2;
            out_bytes(o, &bytes, sizeof bytes);
        }
        const unsigned char* s = (const unsigned char*)text;
        size_t i = 0;
        while (i < len) {
            uint32_t c = s[i];
            size_t more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
            if (more > 0 && i + more < len) {
                uint32_t v = c & (0x3fU >> more);
                size_t k = 1;
                for (; k <= more && i + k < len && (s[i + k] & 0xc0) == 0x80; ++k)
                    v = (v << 6) | (s[i + k] & 0x3fU);
                if (k == more + 1) {
                    c = v;
                    i += more;
                }
            }
            ++i;
            uint16_t unit[2];
            int n = 1;
            if (c >= 0x10000) {
                c -= 0x10000;
                unit[0] = (uint16_t)(0xd800 + (c >> 10));
                unit[1] = (uint16_t)(0xdc00 + (c & 0x3ff));
                n = 2;
            } else {
                unit[0] = (uint16_t)c;
            }
            if (pass == 0)
                units += (uint32_t)n;
            else
                out_bytes(o, unit, (size_t)n * 2);
        }
    }
    struct md_location at = {units * 2 + 4, (uint32_t)(o->pos - units * 2 - 4)};
    uint16_t terminator = 0;
    out_bytes(o, &terminator, sizeof terminator);
    return at;
}

/* ---- /proc/self/maps ---- */

struct map_line {
    uint64_t start, end, offset, inode;
    int readable;
    const char* path;
    size_t path_len;
};

static int hex_field(const char** p, const char* end, uint64_t* value, int base)
{
    uint64_t v = 0;
    const char* s = *p;
    while (s < end) {
        int d;
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = *s - 'a' + 10;
        else
            break;
        v = v * (uint64_t)base + (uint64_t)d;
        ++s;
    }
    if (s == *p)
        return 0;
    *value = v;
    *p = s;
    return 1;
}

static void skip_to_space(const char** p, const char* end)
{
    while (*p < end && **p != ' ')
        ++*p;
    while (*p < end && **p == ' ')
        ++*p;
}

/* The next line of the maps text from *at; 0 at the end. */
static int next_map(const char* text, size_t len, size_t* at, struct map_line* line)
{
    while (*at < len) {
        const char* p = text + *at;
        const char* end = memchr(p, '\n', len - *at);
        if (!end)
            end = text + len;
        *at = (size_t)(end - text) + 1;
        if (!hex_field(&p, end, &line->start, 16) || p >= end || *p++ != '-' || !hex_field(&p, end, &line->end, 16) ||
            p >= end || *p++ != ' ' || p >= end)
            continue;
        line->readable = *p == 'r';
        skip_to_space(&p, end);
        if (!hex_field(&p, end, &line->offset, 16))
            continue;
        while (p < end && *p == ' ')
            ++p;
        skip_to_space(&p, end); /* the device */
        if (!hex_field(&p, end, &line->inode, 10))
            line->inode = 0;
        while (p < end && *p == ' ')
            ++p;
        line->path = p;
        line->path_len = (size_t)(end - p);
        return 1;
    }
    return 0;
}

static int find_map(const char* maps, size_t len, uint64_t addr, struct map_line* found)
{
    size_t at = 0;
    struct map_line line;
    while (next_map(maps, len, &at, &line)) {
        if (addr >= line.start && addr < line.end) {
            *found = line;
            return 1;
        }
    }
    return 0;
}

/* The stack the crashed thread ran on: the mapping that holds the stack pointer or, after an
 * overflow ran it off its stack, the nearest mapping above it. */
static int find_stack_map(const char* maps, size_t len, uint64_t sp, struct map_line* found)
{
    if (find_map(maps, len, sp, found))
        return 1;
    size_t at = 0;
    struct map_line line;
    int have = 0;
    while (next_map(maps, len, &at, &line)) {
        if (line.start > sp && line.start - sp <= 65536 && (!have || line.start < found->start)) {
            *found = line;
            have = 1;
        }
    }
    return have;
}

/* ---- Modules: every mapped ELF file, its base, size and GNU build ID. ---- */

/* Reads the process's own memory without touching it: a mapped file cut short (SIGBUS) or a
 * page that went away gives a failed read, not a second crash. */
static int safe_read(uint64_t addr, void* to, size_t n)
{
    struct iovec local = {to, n};
    struct iovec remote = {(void*)(uintptr_t)addr, n};
    long got = syscall(SYS_process_vm_readv, getpid(), &local, 1UL, &remote, 1UL, 0UL);
    if (got == (long)n)
        return 1;
    if (got >= 0 || (errno != ENOSYS && errno != EPERM))
        return 0;
    int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t read_n = pread(fd, to, n, (off_t)addr);
    close(fd);
    return read_n == (ssize_t)n;
}

struct module_group {
    struct minidump_module_slot slot;
    uint64_t inode;
    size_t range_count;
    uint64_t range_start[GROUP_RANGES], range_end[GROUP_RANGES];
};

static int group_readable(const struct module_group* g, uint64_t addr, uint64_t n)
{
    for (size_t i = 0; i < g->range_count; ++i)
        if (addr >= g->range_start[i] && n <= g->range_end[i] - addr && addr < g->range_end[i])
            return 1;
    return 0;
}

static void read_build_id(struct module_group* g)
{
    uint64_t base = g->slot.base;
    Elf64_Ehdr eh;
    if (!group_readable(g, base, sizeof eh) || !safe_read(base, &eh, sizeof eh))
        return;
    if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_phentsize != sizeof(Elf64_Phdr))
        return;
    uint64_t phdrs = base + eh.e_phoff;
    if (!group_readable(g, phdrs, (uint64_t)eh.e_phnum * sizeof(Elf64_Phdr)))
        return;
    uint64_t bias = base;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (!safe_read(phdrs + i * sizeof ph, &ph, sizeof ph))
            return;
        if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
            bias = base - (ph.p_vaddr & ~(uint64_t)4095);
            break;
        }
    }
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (!safe_read(phdrs + i * sizeof ph, &ph, sizeof ph))
            return;
        if (ph.p_type != PT_NOTE || !group_readable(g, bias + ph.p_vaddr, ph.p_filesz))
            continue;
        uint64_t note = bias + ph.p_vaddr, end = note + ph.p_filesz;
        while (end - note >= sizeof(Elf64_Nhdr)) {
            Elf64_Nhdr nh;
            char name_text[4];
            if (!safe_read(note, &nh, sizeof nh))
                break;
            uint64_t name = note + sizeof nh;
            uint64_t desc = name + ((nh.n_namesz + 3ULL) & ~3ULL);
            uint64_t next = desc + ((nh.n_descsz + 3ULL) & ~3ULL);
            if (next > end || next <= note)
                break;
            if (nh.n_type == NT_GNU_BUILD_ID && nh.n_namesz == 4 && safe_read(name, name_text, 4) &&
                memcmp(name_text, "GNU", 4) == 0 && nh.n_descsz > 0 && nh.n_descsz <= BUILD_ID_MAX &&
                safe_read(desc, g->slot.build_id, nh.n_descsz)) {
                g->slot.build_id_len = nh.n_descsz;
                return;
            }
            note = next;
        }
    }
}

static void finish_group(struct minidump_plan* plan, size_t* count, struct module_group* g)
{
    if (g->range_count == 0 || *count == plan->modules_cap)
        return;
    uint64_t base = g->slot.base;
    char magic[SELFMAG];
    if (!group_readable(g, base, SELFMAG) || !safe_read(base, magic, SELFMAG) || memcmp(magic, ELFMAG, SELFMAG) != 0)
        return;
    read_build_id(g);
    plan->modules[(*count)++] = g->slot;
}

static size_t collect_modules(struct minidump_plan* plan, const char* maps, size_t len)
{
    size_t count = 0, at = 0;
    struct module_group g;
    g.range_count = 0;
    struct map_line line;
    while (next_map(maps, len, &at, &line)) {
        int same = g.range_count > 0 && line.inode == g.inode && line.path_len == g.slot.path_len &&
                   memcmp(line.path, g.slot.path, line.path_len) == 0;
        if (same) {
            g.slot.end = line.end;
            if (line.readable && g.range_count < GROUP_RANGES) {
                g.range_start[g.range_count] = line.start;
                g.range_end[g.range_count++] = line.end;
            }
            continue;
        }
        finish_group(plan, &count, &g);
        g.range_count = 0;
        if (line.path_len > 0 && line.path[0] == '/' && line.offset == 0 && line.readable) {
            memset(&g.slot, 0, sizeof g.slot);
            g.slot.base = line.start;
            g.slot.end = line.end;
            g.slot.path = line.path;
            g.slot.path_len = (uint32_t)line.path_len;
            g.inode = line.inode;
            g.range_start[0] = line.start;
            g.range_end[0] = line.end;
            g.range_count = 1;
        }
    }
    finish_group(plan, &count, &g);
    return count;
}

/* ---- Threads ---- */

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

/* The ids of the process's threads, the crashed one first. */
static size_t collect_threads(struct minidump_plan* plan, pid_t crashed, unsigned char* scratch, size_t scratch_cap)
{
    size_t count = 0;
    plan->tids[count++] = (uint32_t)crashed;
    int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return count;
    for (;;) {
        long n = syscall(SYS_getdents64, fd, scratch, scratch_cap);
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            const struct linux_dirent64* d = (const struct linux_dirent64*)(scratch + off);
            off += d->d_reclen;
            uint64_t tid;
            const char* p = d->d_name;
            if (!hex_field(&p, p + 32, &tid, 10) || *p != '\0' || tid == (uint64_t)crashed)
                continue;
            if (count < plan->tids_cap)
                plan->tids[count++] = (uint32_t)tid;
        }
    }
    close(fd);
    return count;
}

/* ---- The crashed thread's registers ---- */

#if defined(__x86_64__)
static void fill_context(struct md_context_amd64* c, const ucontext_t* uc)
{
    memset(c, 0, sizeof *c);
    const greg_t* r = uc->uc_mcontext.gregs;
    c->context_flags = MD_CONTEXT_AMD64_CONTROL | MD_CONTEXT_AMD64_INTEGER | MD_CONTEXT_AMD64_SEGMENTS |
                       MD_CONTEXT_AMD64_FLOATING_POINT;
    c->rax = (uint64_t)r[REG_RAX];
    c->rcx = (uint64_t)r[REG_RCX];
    c->rdx = (uint64_t)r[REG_RDX];
    c->rbx = (uint64_t)r[REG_RBX];
    c->rsp = (uint64_t)r[REG_RSP];
    c->rbp = (uint64_t)r[REG_RBP];
    c->rsi = (uint64_t)r[REG_RSI];
    c->rdi = (uint64_t)r[REG_RDI];
    c->r8 = (uint64_t)r[REG_R8];
    c->r9 = (uint64_t)r[REG_R9];
    c->r10 = (uint64_t)r[REG_R10];
    c->r11 = (uint64_t)r[REG_R11];
    c->r12 = (uint64_t)r[REG_R12];
    c->r13 = (uint64_t)r[REG_R13];
    c->r14 = (uint64_t)r[REG_R14];
    c->r15 = (uint64_t)r[REG_R15];
    c->rip = (uint64_t)r[REG_RIP];
    c->eflags = (uint32_t)r[REG_EFL];
    uint64_t segments = (uint64_t)r[REG_CSGSFS];
    c->cs = (uint16_t)segments;
    c->gs = (uint16_t)(segments >> 16);
    c->fs = (uint16_t)(segments >> 32);
    c->ss = (uint16_t)(segments >> 48);
    if (uc->uc_mcontext.fpregs) {
        memcpy(c->flt_save, uc->uc_mcontext.fpregs, sizeof c->flt_save);
        c->mx_csr = uc->uc_mcontext.fpregs->mxcsr;
    }
}
#endif

/* ---- Preparation, at install time ---- */

static void append_text(char* to, size_t cap, const char* text)
{
    size_t at = strlen(to);
    size_t n = strlen(text);
    if (n > cap - 1 - at)
        n = cap - 1 - at;
    memcpy(to + at, text, n);
    to[at + n] = '\0';
}

static void read_env_range(struct minidump_plan* plan)
{
    char stat[4096];
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0)
        return;
    stat[n] = '\0';
    const char* p = strrchr(stat, ')');
    if (!p)
        return;
    /* After the command's ")" comes field 3; env_start and env_end are fields 50 and 51. */
    ++p;
    uint64_t fields[52] = {0};
    for (int field = 3; field <= 51 && *p; ++field) {
        while (*p == ' ')
            ++p;
        if (*p == '-')
            ++p;
        if (!hex_field(&p, stat + n, &fields[field], 10))
            fields[field] = 0;
        while (*p && *p != ' ')
            ++p;
    }
    if (fields[50] < fields[51]) {
        plan->env_start = fields[50];
        plan->env_end = fields[51];
    }
}

static void* scratch(size_t bytes)
{
    void* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? NULL : p;
}

int minidump_prepare(struct minidump_plan* plan)
{
#if !defined(__x86_64__)
    (void)plan;
    errno = ENOSYS;
    return -1;
#else
    memset(plan, 0, sizeof *plan);
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d)) {
        plan->cpu_vendor[0] = b;
        plan->cpu_vendor[1] = d;
        plan->cpu_vendor[2] = c;
    }
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        plan->cpu_version = a;
        plan->cpu_features = d;
        unsigned family = (a >> 8) & 0xf, model = (a >> 4) & 0xf;
        if (family == 0xf)
            family += (a >> 20) & 0xff;
        if (family == 0x6 || family >= 0xf)
            model += ((a >> 16) & 0xf) << 4;
        plan->cpu_level = (uint16_t)family;
        plan->cpu_revision = (uint16_t)((model << 8) | (a & 0xf));
    }
    if (__get_cpuid(0x80000001, &a, &b, &c, &d))
        plan->cpu_amd_features = c;
    long cpus = sysconf(_SC_NPROCESSORS_CONF);
    plan->cpu_count = (uint8_t)(cpus > 255 ? 255 : cpus < 1 ? 1 : cpus);
    struct utsname u;
    if (uname(&u) == 0) {
        const char* p = u.release;
        uint64_t v[3] = {0, 0, 0};
        for (int i = 0; i < 3; ++i) {
            if (!hex_field(&p, p + strlen(p), &v[i], 10) || *p != '.')
                break;
            ++p;
        }
        plan->os_major = (uint32_t)v[0];
        plan->os_minor = (uint32_t)v[1];
        plan->os_build = (uint32_t)v[2];
        const char* parts[] = {u.sysname, " ", u.release, " ", u.version, " ", u.machine};
        for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i)
            append_text(plan->os_text, sizeof plan->os_text, parts[i]);
    }
    read_env_range(plan);
    plan->maps_cap = 8 << 20;
    plan->modules_cap = 4096;
    plan->io_cap = 64 << 10;
    plan->tids_cap = 16384;
    plan->maps = scratch(plan->maps_cap);
    plan->modules = scratch(plan->modules_cap * sizeof *plan->modules);
    plan->io = scratch(plan->io_cap);
    plan->tids = scratch(plan->tids_cap * sizeof *plan->tids);
    if (!plan->maps || !plan->modules || !plan->io || !plan->tids) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
#endif
}

/* ---- The dump ---- */

static size_t read_whole(const char* path, char* to, size_t cap)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t len = 0;
    while (len < cap) {
        ssize_t n = read(fd, to + len, cap - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += (size_t)n;
    }
    close(fd);
    return len;
}

int minidump_write(int fd, struct minidump_plan* plan, const struct minidump_crash* crash)
{
#if !defined(__x86_64__)
    (void)fd;
    (void)plan;
    (void)crash;
    return -1;
#else
    struct out o = {fd, 0, plan->io, 0, plan->io_cap, 0};
    struct md_directory dir[STREAM_COUNT];
    unsigned streams = 0;
    size_t maps_len = read_whole("/proc/self/maps", plan->maps, plan->maps_cap);

    out_zeros(&o, sizeof(struct md_header) + sizeof dir);

    struct md_system_info system;
    memset(&system, 0, sizeof system);
    system.processor_architecture = MD_CPU_ARCHITECTURE_AMD64;
    system.processor_level = plan->cpu_level;
    system.processor_revision = plan->cpu_revision;
    system.number_of_processors = plan->cpu_count;
    system.major_version = plan->os_major;
    system.minor_version = plan->os_minor;
    system.build_number = plan->os_build;
    system.platform_id = MD_OS_LINUX;
    system.csd_version_rva = out_string(&o, plan->os_text, strlen(plan->os_text)).rva;
    memcpy(system.vendor_id, plan->cpu_vendor, sizeof system.vendor_id);
    system.version_information = plan->cpu_version;
    system.feature_information = plan->cpu_features;
    system.amd_extended_cpu_features = plan->cpu_amd_features;
    dir[streams++] = (struct md_directory){MD_SYSTEM_INFO_STREAM, out_record(&o, &system, sizeof system)};

    const ucontext_t* uc = crash->context;
    struct md_context_amd64 context;
    fill_context(&context, uc);
    struct md_location context_at = out_record(&o, &context, sizeof context);

    /* Stack memory: from below the stack pointer (its red zone) to the end of its mapping. */
    struct md_memory_descriptor memory[2];
    size_t memory_count = 0;
    struct md_memory_descriptor stack = {0, {0, 0}};
    struct map_line line;
    if (find_stack_map(plan->maps, maps_len, context.rsp, &line)) {
        uint64_t from = context.rsp - RED_ZONE < line.start ? line.start : context.rsp - RED_ZONE;
        if (context.rsp < RED_ZONE)
            from = line.start;
        uint64_t to = line.end - from > STACK_CAP ? from + STACK_CAP : line.end;
        out_align(&o);
        stack.start = from;
        stack.memory.rva = (uint32_t)o.pos;
        stack.memory.data_size = (uint32_t)(to - from);
        out_memory(&o, from, to - from, plan->env_start, plan->env_end);
        memory[memory_count++] = stack;
    }
    /* The code around the instruction pointer, for a disassembly without the binary at hand. */
    if (find_map(plan->maps, maps_len, context.rip, &line) && line.readable) {
        uint64_t from = context.rip - line.start > CODE_AROUND_IP ? context.rip - CODE_AROUND_IP : line.start;
        uint64_t to = line.end - context.rip > CODE_AROUND_IP ? context.rip + CODE_AROUND_IP : line.end;
        int overlaps = stack.memory.data_size > 0 && from < stack.start + stack.memory.data_size && to > stack.start;
        if (!overlaps) {
            out_align(&o);
            struct md_memory_descriptor code = {from, {(uint32_t)(to - from), (uint32_t)o.pos}};
            out_memory(&o, from, to - from, plan->env_start, plan->env_end);
            memory[memory_count++] = code;
        }
    }

    struct md_exception_stream exception;
    memset(&exception, 0, sizeof exception);
    exception.thread_id = (uint32_t)crash->tid;
    exception.exception_code = (uint32_t)crash->signo;
    exception.exception_flags = (uint32_t)crash->info->si_code;
    switch (crash->signo) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
    case SIGSYS:
        exception.exception_address = (uint64_t)(uintptr_t)crash->info->si_addr;
        break;
    default:
        exception.exception_address = context.rip;
    }
    exception.thread_context = context_at;
    dir[streams++] = (struct md_directory){MD_EXCEPTION_STREAM, out_record(&o, &exception, sizeof exception)};

    /* The thread list: the crashed thread with registers and stack; the others by id. Their
     * registers would need another process to stop and read them. */
    size_t dirents_at = (maps_len + 7) & ~(size_t)7; /* directory entries hold 8-byte fields */
    size_t dirents_cap = plan->maps_cap - dirents_at > 65536 ? 65536 : plan->maps_cap - dirents_at;
    size_t thread_count = collect_threads(plan, crash->tid, (unsigned char*)plan->maps + dirents_at, dirents_cap);
    out_align(&o);
    struct md_location threads_at = {(uint32_t)(4 + thread_count * sizeof(struct md_thread)), (uint32_t)o.pos};
    uint32_t n32 = (uint32_t)thread_count;
    out_bytes(&o, &n32, sizeof n32);
    for (size_t i = 0; i < thread_count; ++i) {
        struct md_thread t;
        memset(&t, 0, sizeof t);
        t.thread_id = plan->tids[i];
        if (i == 0) {
            t.stack = stack;
            t.context = context_at;
        }
        out_bytes(&o, &t, sizeof t);
    }
    dir[streams++] = (struct md_directory){MD_THREAD_LIST_STREAM, threads_at};

    out_align(&o);
    struct md_location memory_at = {(uint32_t)(4 + memory_count * sizeof memory[0]), (uint32_t)o.pos};
    n32 = (uint32_t)memory_count;
    out_bytes(&o, &n32, sizeof n32);
    out_bytes(&o, memory, memory_count * sizeof memory[0]);
    dir[streams++] = (struct md_directory){MD_MEMORY_LIST_STREAM, memory_at};

    /* Modules: names and build-id records first, then the list that points at them. */
    size_t module_count = collect_modules(plan, plan->maps, maps_len);
    for (size_t i = 0; i < module_count; ++i) {
        struct minidump_module_slot* m = &plan->modules[i];
        m->name = out_string(&o, m->path, m->path_len);
        if (m->build_id_len > 0) {
            uint32_t signature = MD_CV_ELF_SIGNATURE;
            out_align(&o);
            m->cv = (struct md_location){4 + m->build_id_len, (uint32_t)o.pos};
            out_bytes(&o, &signature, sizeof signature);
            out_bytes(&o, m->build_id, m->build_id_len);
        }
    }
    out_align(&o);
    struct md_location modules_at = {(uint32_t)(4 + module_count * sizeof(struct md_module)), (uint32_t)o.pos};
    n32 = (uint32_t)module_count;
    out_bytes(&o, &n32, sizeof n32);
    for (size_t i = 0; i < module_count; ++i) {
        const struct minidump_module_slot* m = &plan->modules[i];
        struct md_module record;
        memset(&record, 0, sizeof record);
        record.base_of_image = m->base;
        record.size_of_image = (uint32_t)(m->end - m->base);
        record.module_name_rva = m->name.rva;
        record.cv_record = m->cv;
        out_bytes(&o, &record, sizeof record);
    }
    dir[streams++] = (struct md_directory){MD_MODULE_LIST_STREAM, modules_at};

    dir[streams++] = (struct md_directory){MD_LINUX_CMD_LINE, out_file(&o, "/proc/self/cmdline")};
    dir[streams++] = (struct md_directory){MD_LINUX_PROC_STATUS, out_file(&o, "/proc/self/status")};
    dir[streams++] = (struct md_directory){MD_LINUX_AUXV, out_file(&o, "/proc/self/auxv")};
    dir[streams++] = (struct md_directory){MD_LINUX_LSB_RELEASE, out_file(&o, "/etc/os-release")};
    dir[streams++] = (struct md_directory){MD_LINUX_MAPS, out_record(&o, plan->maps, maps_len)};
    out_flush(&o);

    struct md_header header;
    memset(&header, 0, sizeof header);
    header.signature = MD_SIGNATURE;
    header.version = MD_VERSION;
    header.stream_count = streams;
    header.stream_directory_rva = sizeof header;
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0)
        header.time_date_stamp = (uint32_t)now.tv_sec;
    if (pwrite(fd, &header, sizeof header, 0) != (ssize_t)sizeof header ||
        pwrite(fd, dir, streams * sizeof dir[0], sizeof header) != (ssize_t)(streams * sizeof dir[0]))
        o.failed = 1;
    return o.failed ? -1 : 0;
#endif
}
