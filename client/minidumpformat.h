/* The records of the minidump format, little-endian and packed as the format lays them out,
 * with the Linux streams and the ELF build-id record as debuggers and stack walkers read them. */
#ifndef CRASHUI_CLIENT_MINIDUMPFORMAT_H
#define CRASHUI_CLIENT_MINIDUMPFORMAT_H

#include <stdint.h>

#define MD_SIGNATURE 0x504d444dU /* "MDMP" */
#define MD_VERSION 0xa793U

enum {
    MD_THREAD_LIST_STREAM = 3,
    MD_MODULE_LIST_STREAM = 4,
    MD_MEMORY_LIST_STREAM = 5,
    MD_EXCEPTION_STREAM = 6,
    MD_SYSTEM_INFO_STREAM = 7,
    MD_LINUX_PROC_STATUS = 0x47670004,
    MD_LINUX_LSB_RELEASE = 0x47670005,
    MD_LINUX_CMD_LINE = 0x47670006,
    MD_LINUX_AUXV = 0x47670008,
    MD_LINUX_MAPS = 0x47670009,
};

#define MD_CPU_ARCHITECTURE_AMD64 9
#define MD_OS_LINUX 0x8201
#define MD_CV_ELF_SIGNATURE 0x4270454cU /* "BpEL" as bytes in the file: 4c 45 70 42 */

#define MD_CONTEXT_AMD64 0x00100000U
#define MD_CONTEXT_AMD64_CONTROL (MD_CONTEXT_AMD64 | 0x1U)
#define MD_CONTEXT_AMD64_INTEGER (MD_CONTEXT_AMD64 | 0x2U)
#define MD_CONTEXT_AMD64_SEGMENTS (MD_CONTEXT_AMD64 | 0x4U)
#define MD_CONTEXT_AMD64_FLOATING_POINT (MD_CONTEXT_AMD64 | 0x8U)

#define MD_PACKED __attribute__((packed))

struct MD_PACKED md_location {
    uint32_t data_size;
    uint32_t rva;
};

struct MD_PACKED md_header {
    uint32_t signature;
    uint32_t version;
    uint32_t stream_count;
    uint32_t stream_directory_rva;
    uint32_t checksum;
    uint32_t time_date_stamp;
    uint64_t flags;
};

struct MD_PACKED md_directory {
    uint32_t stream_type;
    struct md_location location;
};

struct MD_PACKED md_memory_descriptor {
    uint64_t start;
    struct md_location memory;
};

struct MD_PACKED md_thread {
    uint32_t thread_id;
    uint32_t suspend_count;
    uint32_t priority_class;
    uint32_t priority;
    uint64_t teb;
    struct md_memory_descriptor stack;
    struct md_location context;
};

struct MD_PACKED md_vs_fixedfileinfo {
    uint32_t words[13];
};

struct MD_PACKED md_module {
    uint64_t base_of_image;
    uint32_t size_of_image;
    uint32_t checksum;
    uint32_t time_date_stamp;
    uint32_t module_name_rva;
    struct md_vs_fixedfileinfo version_info;
    struct md_location cv_record;
    struct md_location misc_record;
    uint64_t reserved0;
    uint64_t reserved1;
};

struct MD_PACKED md_exception_stream {
    uint32_t thread_id;
    uint32_t alignment;
    uint32_t exception_code;
    uint32_t exception_flags;
    uint64_t exception_record;
    uint64_t exception_address;
    uint32_t number_parameters;
    uint32_t unused_alignment;
    uint64_t exception_information[15];
    struct md_location thread_context;
};

struct MD_PACKED md_system_info {
    uint16_t processor_architecture;
    uint16_t processor_level;
    uint16_t processor_revision;
    uint8_t number_of_processors;
    uint8_t product_type;
    uint32_t major_version;
    uint32_t minor_version;
    uint32_t build_number;
    uint32_t platform_id;
    uint32_t csd_version_rva;
    uint16_t suite_mask;
    uint16_t reserved2;
    uint32_t vendor_id[3];
    uint32_t version_information;
    uint32_t feature_information;
    uint32_t amd_extended_cpu_features;
};

struct MD_PACKED md_context_amd64 {
    uint64_t p_home[6];
    uint32_t context_flags;
    uint32_t mx_csr;
    uint16_t cs, ds, es, fs, gs, ss;
    uint32_t eflags;
    uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
    uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
    uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
    uint64_t rip;
    uint8_t flt_save[512]; /* the FXSAVE image, as the kernel hands it to a signal handler */
    uint8_t vector_register[26 * 16];
    uint64_t vector_control;
    uint64_t debug_control;
    uint64_t last_branch_to_rip;
    uint64_t last_branch_from_rip;
    uint64_t last_exception_to_rip;
    uint64_t last_exception_from_rip;
};

_Static_assert(sizeof(struct md_header) == 32, "header");
_Static_assert(sizeof(struct md_directory) == 12, "directory");
_Static_assert(sizeof(struct md_thread) == 48, "thread");
_Static_assert(sizeof(struct md_module) == 108, "module");
_Static_assert(sizeof(struct md_exception_stream) == 168, "exception");
_Static_assert(sizeof(struct md_system_info) == 56, "system info");
_Static_assert(sizeof(struct md_context_amd64) == 1232, "amd64 context");

#endif
