/* qemu-user TCG plugin: counts the guest instructions of one run, in total
 * and between pairs of addresses, and writes the counts to a file.
 *
 *   qemu-mips -plugin insn_count.so,out=FILE[,span=NAME:START:END]... prog
 *
 * A span counts the instructions executed from reaching START (included)
 * until reaching END (excluded), summed over every pass; START is a call
 * instruction and END its return address to count the whole call. Addresses
 * are hexadecimal. FILE receives "total N" and one "NAME N" line per span.
 * Counts are exact and the same run to run for the same binary, arguments
 * and environment (run it under env -i), unlike times under emulation.
 *
 * Build: cc -O2 -shared -fPIC -I<qemu source>/include/qemu insn_count.c
 * -o insn_count.so, with the header from Debian's qemu source package of
 * the qemu-user in use (plugin API 1 in qemu 7.2).
 */
#include <qemu-plugin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

enum { MAX_SPANS = 8 };

struct span {
    char name[32];
    uint64_t start, end;
    uint64_t entered_at; /* the total when START was reached */
    uint64_t count;
};

static uint64_t total;
static struct span spans[MAX_SPANS];
static int span_count;
static char out_path[4096];

static void enter_span(unsigned int vcpu, void *data) {
    (void)vcpu;
    ((struct span *)data)->entered_at = total;
}

static void leave_span(unsigned int vcpu, void *data) {
    struct span *s = data;
    (void)vcpu;
    s->count += total - s->entered_at;
}

static void translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
    (void)id;
    size_t n = qemu_plugin_tb_n_insns(tb);
    for (size_t i = 0; i < n; ++i) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        uint64_t vaddr = qemu_plugin_insn_vaddr(insn);
        /* Callbacks first, so both ends see the total before this
         * instruction is counted: the span is [START, END). */
        for (int s = 0; s < span_count; ++s) {
            if (vaddr == spans[s].start)
                qemu_plugin_register_vcpu_insn_exec_cb(insn, enter_span, QEMU_PLUGIN_CB_NO_REGS,
                                                       &spans[s]);
            if (vaddr == spans[s].end)
                qemu_plugin_register_vcpu_insn_exec_cb(insn, leave_span, QEMU_PLUGIN_CB_NO_REGS,
                                                       &spans[s]);
        }
        qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64, &total, 1);
    }
}

static void report(qemu_plugin_id_t id, void *data) {
    (void)id;
    (void)data;
    FILE *out = fopen(out_path, "w");
    if (!out)
        return;
    fprintf(out, "total %llu\n", (unsigned long long)total);
    for (int s = 0; s < span_count; ++s)
        fprintf(out, "%s %llu\n", spans[s].name, (unsigned long long)spans[s].count);
    fclose(out);
}

static int parse_span(const char *text) {
    struct span *s = &spans[span_count];
    const char *colon = strchr(text, ':');
    if (span_count == MAX_SPANS || !colon || (size_t)(colon - text) >= sizeof s->name)
        return -1;
    memcpy(s->name, text, (size_t)(colon - text));
    char *end = NULL;
    s->start = strtoull(colon + 1, &end, 16);
    if (*end != ':')
        return -1;
    s->end = strtoull(end + 1, &end, 16);
    if (*end != '\0')
        return -1;
    ++span_count;
    return 0;
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "out=", 4) == 0 && strlen(argv[i] + 4) < sizeof out_path)
            strcpy(out_path, argv[i] + 4);
        else if (strncmp(argv[i], "span=", 5) != 0 || parse_span(argv[i] + 5) != 0) {
            fprintf(stderr, "insn_count: bad argument '%s'\n", argv[i]);
            return -1;
        }
    }
    if (!out_path[0]) {
        fprintf(stderr, "insn_count: out=FILE is required\n");
        return -1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, translate);
    qemu_plugin_register_atexit_cb(id, report, NULL);
    return 0;
}
