/* qemu-user TCG plugin: counts the guest instructions of one run, in total
 * and between pairs of addresses, and writes the counts to a file.
 *
 *   qemu-mips -plugin insn_count.so,out=FILE[,span=NAME:START:END]...
 *             [,mark=NAME:AT]... prog
 *
 * A span counts the instructions executed from reaching START (included)
 * until reaching END (excluded), summed over every pass; START is a call
 * instruction and END its return address to count the whole call. END
 * reached without START (another path through the same code) counts
 * nothing. A mark
 * is the count of instructions executed before AT was last reached (a
 * function's entry: what ran before it; its return: what ran after it).
 * Addresses are hexadecimal. FILE receives "total N", then one "span NAME N"
 * line per span and one "mark NAME N" line per mark, in argument order.
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

/* Enough for every call site of a small program's own code. */
enum { MAX_SPANS = 64, MAX_MARKS = 8 };

struct span {
    char name[64];
    uint64_t start, end;
    uint64_t entered_at; /* the total when START was reached */
    uint64_t count;
    int inside;
};

struct mark {
    char name[64];
    uint64_t at;
    uint64_t count;
};

static uint64_t total;
static struct span spans[MAX_SPANS];
static int span_count;
static struct mark marks[MAX_MARKS];
static int mark_count;
static char out_path[4096];

static void enter_span(unsigned int vcpu, void *data) {
    struct span *s = data;
    (void)vcpu;
    s->entered_at = total;
    s->inside = 1;
}

static void leave_span(unsigned int vcpu, void *data) {
    struct span *s = data;
    (void)vcpu;
    if (s->inside)
        s->count += total - s->entered_at;
    s->inside = 0;
}

static void reach_mark(unsigned int vcpu, void *data) {
    (void)vcpu;
    ((struct mark *)data)->count = total;
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
        for (int m = 0; m < mark_count; ++m)
            if (vaddr == marks[m].at)
                qemu_plugin_register_vcpu_insn_exec_cb(insn, reach_mark, QEMU_PLUGIN_CB_NO_REGS,
                                                       &marks[m]);
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
        fprintf(out, "span %s %llu\n", spans[s].name, (unsigned long long)spans[s].count);
    for (int m = 0; m < mark_count; ++m)
        fprintf(out, "mark %s %llu\n", marks[m].name, (unsigned long long)marks[m].count);
    fclose(out);
}

/* NAME:HEX[:HEX]: the name into NAME_OUT, then one or two addresses. */
static int parse_addresses(const char *text, char *name_out, size_t name_size, int count,
                           uint64_t *addresses) {
    const char *colon = strchr(text, ':');
    if (!colon || colon == text || (size_t)(colon - text) >= name_size)
        return -1;
    memcpy(name_out, text, (size_t)(colon - text));
    name_out[colon - text] = '\0';
    const char *cursor = colon;
    for (int i = 0; i < count; ++i) {
        char *end = NULL;
        if (*cursor != ':')
            return -1;
        addresses[i] = strtoull(cursor + 1, &end, 16);
        if (end == cursor + 1)
            return -1;
        cursor = end;
    }
    return *cursor == '\0' ? 0 : -1;
}

static int parse_span(const char *text) {
    if (span_count == MAX_SPANS)
        return -1;
    struct span *s = &spans[span_count];
    uint64_t ends[2];
    if (parse_addresses(text, s->name, sizeof s->name, 2, ends) != 0)
        return -1;
    s->start = ends[0];
    s->end = ends[1];
    ++span_count;
    return 0;
}

static int parse_mark(const char *text) {
    if (mark_count == MAX_MARKS)
        return -1;
    struct mark *m = &marks[mark_count];
    if (parse_addresses(text, m->name, sizeof m->name, 1, &m->at) != 0)
        return -1;
    ++mark_count;
    return 0;
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "out=", 4) == 0 && strlen(argv[i] + 4) < sizeof out_path)
            strcpy(out_path, argv[i] + 4);
        else if (strncmp(argv[i], "mark=", 5) == 0 && parse_mark(argv[i] + 5) == 0)
            continue;
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
