/* qemu-system TCG plugin: counts a booted guest's instructions, user and
 * kernel apart, and takes both counts each time a user program executes
 * the marker instruction, so that a shell loop in the guest can be priced
 * between two marks, whatever processes it starts.
 *
 *   qemu-system-mips -icount shift=0 \
 *     -plugin boot_count.so,out=FILE,kernel=80000000,marker=34001234 ...
 *
 * kernel: the lowest virtual address of kernel code (hex); what executes
 * below it is user code. marker: the marker instruction's bytes as they lie
 * in memory (hex), a no-op that nothing else executes (ori $0,$0,0x1234 on
 * MIPS, and ip,ip,ip on ARM, and x12,x12,x12 on AArch64). FILE receives
 * "mark USER KERNEL" for every marker executed, in order, then "total USER
 * KERNEL". Under -icount the counts repeat run to run; wall time under TCG
 * would not.
 *
 * Build as insn_count.c: against the plugin header of Debian's qemu.
 */
#include <qemu-plugin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum { MAX_MARKS = 256, MAX_MARKER_BYTES = 8 };

static uint64_t user_count, kernel_count;
static uint64_t kernel_start;
static unsigned char marker[MAX_MARKER_BYTES];
static size_t marker_size;
static uint64_t marks[MAX_MARKS][2];
static int mark_count;
static char out_path[4096];

static void reach_marker(unsigned int vcpu, void *data) {
    (void)vcpu;
    (void)data;
    if (mark_count < MAX_MARKS) {
        marks[mark_count][0] = user_count;
        marks[mark_count][1] = kernel_count;
    }
    ++mark_count;
}

static void translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
    (void)id;
    size_t n = qemu_plugin_tb_n_insns(tb);
    for (size_t i = 0; i < n; ++i) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        int kernel = qemu_plugin_insn_vaddr(insn) >= kernel_start;
        if (!kernel && qemu_plugin_insn_size(insn) == marker_size &&
            memcmp(qemu_plugin_insn_data(insn), marker, marker_size) == 0)
            qemu_plugin_register_vcpu_insn_exec_cb(insn, reach_marker, QEMU_PLUGIN_CB_NO_REGS,
                                                   NULL);
        qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64,
                                                   kernel ? &kernel_count : &user_count, 1);
    }
}

static void report(qemu_plugin_id_t id, void *data) {
    (void)id;
    (void)data;
    FILE *out = fopen(out_path, "w");
    if (!out)
        return;
    for (int m = 0; m < mark_count && m < MAX_MARKS; ++m)
        fprintf(out, "mark %llu %llu\n", (unsigned long long)marks[m][0],
                (unsigned long long)marks[m][1]);
    if (mark_count > MAX_MARKS)
        fprintf(out, "lost %d\n", mark_count - MAX_MARKS);
    fprintf(out, "total %llu %llu\n", (unsigned long long)user_count,
            (unsigned long long)kernel_count);
    fclose(out);
}

static int parse_marker(const char *hex) {
    size_t length = strlen(hex);
    if (length == 0 || length % 2 != 0 || length / 2 > MAX_MARKER_BYTES)
        return -1;
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char *end = NULL;
        marker[i / 2] = (unsigned char)strtoul(pair, &end, 16);
        if (*end != '\0')
            return -1;
    }
    marker_size = length / 2;
    return 0;
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        char *end = NULL;
        if (strncmp(argv[i], "out=", 4) == 0 && strlen(argv[i] + 4) < sizeof out_path)
            strcpy(out_path, argv[i] + 4);
        else if (strncmp(argv[i], "kernel=", 7) == 0 &&
                 (kernel_start = strtoull(argv[i] + 7, &end, 16), *end == '\0'))
            continue;
        else if (strncmp(argv[i], "marker=", 7) != 0 || parse_marker(argv[i] + 7) != 0) {
            fprintf(stderr, "boot_count: bad argument '%s'\n", argv[i]);
            return -1;
        }
    }
    if (!out_path[0] || !kernel_start || !marker_size) {
        fprintf(stderr, "boot_count: out=FILE, kernel=ADDRESS and marker=BYTES are required\n");
        return -1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, translate);
    qemu_plugin_register_atexit_cb(id, report, NULL);
    return 0;
}
