// The dumper: prints a file set for people and for failing tests. It reads the files through
// the reader it shares with the checker (dbf_fileset.h), with no help from the library, and
// survives any bytes: an in-order walk visits each block at most once and descends no deeper
// than a sound tree can be.
#include "dbf_dump.h"
#include "dbf_fileset.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr int64_t HEADER_BYTES = FILESET_HEADER_BYTES;
constexpr int64_t RECORDS_AT = FILESET_RECORDS_AT;

// Record bytes as text: printable ASCII as it is, everything else (and the backslash) as \xNN.
void print_bytes(FILE *out, const uint8_t *p, int n)
{
    for (int i = 0; i < n; i++) {
        if (p[i] >= 0x20 && p[i] < 0x7f && p[i] != '\\')
            fputc(p[i], out);
        else
            fprintf(out, "\\x%02X", p[i]);
    }
}

struct record_file {
    FILE *f;
    int64_t size;
    uint8_t header[HEADER_BYTES];
    int record_length;
    int64_t record_count;
};

// Opens base.db0 and reads its header. Returns 1, or 0 with a line on out when the file is
// not a record file whose records can be counted.
int open_record_file(const char *base_name, record_file *rf, FILE *out)
{
    memset(rf, 0, sizeof *rf);
    rf->f = fileset_open(base_name, 0);
    if (!rf->f) {
        fprintf(out, "cannot open %s\n", fileset_file_name(base_name, 0));
        return 0;
    }
    if (fileset_read_header(rf->f, rf->header, &rf->size) != FILESET_HEADER_OK) {
        fprintf(out, "%s is not a record file\n", fileset_file_name(base_name, 0));
        fclose(rf->f);
        return 0;
    }
    rf->record_length = get_u16le(rf->header + HDR_RECORD_LENGTH);
    if (rf->record_length > 0 && rf->size >= RECORDS_AT)
        rf->record_count = (rf->size - RECORDS_AT) / rf->record_length;
    return 1;
}

// Prints one record: its number, then its bytes, or a note when it lies beyond the file.
void print_record(FILE *out, const record_file *rf, int64_t recno)
{
    fprintf(out, "record %lld: ", (long long)recno);
    if (recno < 0 || recno >= rf->record_count) {
        fprintf(out, "(beyond the %lld records)\n", (long long)rf->record_count);
        return;
    }
    uint8_t piece[512];
    int64_t at = RECORDS_AT + recno * rf->record_length;
    for (int done = 0; done < rf->record_length;) {
        int n = rf->record_length - done;
        if (n > (int)sizeof piece)
            n = (int)sizeof piece;
        if (!fileset_read_at(rf->f, at + done, piece, (size_t)n)) {
            fprintf(out, "(cannot be read)");
            break;
        }
        print_bytes(out, piece, n);
        done += n;
    }
    fputc('\n', out);
}

struct tree_walk {
    FILE *idx;
    FILE *out;
    const record_file *rf;
    int64_t blocks;
    uint8_t *reached;
    int64_t rank;
};

void walk_in_order(tree_walk *w, int64_t blk, int depth)
{
    index_node node;
    if (!fileset_read_node(w->idx, blk, &node)) {
        fprintf(w->out, "(block %lld cannot be read)\n", (long long)blk);
        return;
    }
    int count = node.count > NODE_MAX ? NODE_MAX : node.count;
    int is_leaf = node.children[0].block == 0;
    for (int i = 0; i <= count; i++) {
        uint16_t child = node.children[i].block;
        if (!is_leaf && child != 0 && child < w->blocks && depth < MAX_DEPTH &&
            !bitmap_get(w->reached, child)) {
            bitmap_set(w->reached, child);
            walk_in_order(w, child, depth + 1);
        }
        if (i < count) {
            fprintf(w->out, "rank %lld ", (long long)w->rank++);
            print_record(w->out, w->rf, node.records[i]);
        }
    }
}

// Opens index n and finds its root by following parent from block 1, at most once per block.
// Returns the root's block, or 0 with a line on out.
int64_t open_index(const char *base_name, int n, FILE **idx, int64_t *blocks, FILE *out)
{
    *idx = fileset_open(base_name, n);
    if (!*idx) {
        fprintf(out, "cannot open %s\n", fileset_file_name(base_name, n));
        return 0;
    }
    *blocks = fileset_blocks(fileset_size(*idx));
    root_walk walk = fileset_find_root(*idx, *blocks);
    if (walk.outcome == ROOT_FOUND)
        return walk.root;
    fprintf(out, "index %d: no root found from block 1\n", n);
    return 0;
}

}  // namespace

int dump_header(const char *base_name, FILE *out)
{
    record_file rf;
    if (!open_record_file(base_name, &rf, out))
        return -1;
    char path[HDR_PATH_SIZE + 1];
    memcpy(path, rf.header + HDR_PATH, HDR_PATH_SIZE);
    path[HDR_PATH_SIZE] = 0;
    fprintf(out, "record file    %s, %lld bytes\n", fileset_file_name(base_name, 0),
            (long long)rf.size);
    fprintf(out, "magic          \"%s\"\n", DBF_MAGIC);
    fprintf(out, "path           \"");
    print_bytes(out, (const uint8_t *)path, (int)strlen(path));
    fprintf(out, "\"\n");
    fprintf(out, "record_length  %d\n", rf.record_length);
    fprintf(out, "records        %lld", (long long)rf.record_count);
    if (rf.record_length > 0 && rf.size >= RECORDS_AT &&
        (rf.size - RECORDS_AT) % rf.record_length != 0)
        fprintf(out, " and a partial record of %lld bytes",
                (long long)((rf.size - RECORDS_AT) % rf.record_length));
    fputc('\n', out);
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        int key_length = get_u16le(rf.header + HDR_KEY_LENGTH + 2 * n);
        int key_offset = get_u16le(rf.header + HDR_KEY_OFFSET + 2 * n);
        if (key_length == 0)
            continue;
        fprintf(out, "index %d        key offset %d, key length %d, ", n, key_offset,
                key_length);
        FILE *idx = fileset_open(base_name, n);
        if (idx) {
            fprintf(out, "%s %lld bytes\n", fileset_file_name(base_name, n),
                    (long long)fileset_size(idx));
            fclose(idx);
        } else {
            fprintf(out, "%s missing\n", fileset_file_name(base_name, n));
        }
    }
    fclose(rf.f);
    return 0;
}

int dump_records(const char *base_name, int index_no, FILE *out)
{
    record_file rf;
    if (!open_record_file(base_name, &rf, out))
        return -1;
    int result = 0;
    if (index_no == 0) {
        for (int64_t r = 0; r < rf.record_count; r++)
            print_record(out, &rf, r);
    } else {
        tree_walk w;
        memset(&w, 0, sizeof w);
        w.out = out;
        w.rf = &rf;
        int64_t root = open_index(base_name, index_no, &w.idx, &w.blocks, out);
        if (root == 0) {
            result = -1;
        } else {
            w.reached = bitmap_new(w.blocks);
            if (!w.reached) {
                result = -1;
            } else {
                bitmap_set(w.reached, root);
                walk_in_order(&w, root, 1);
                free(w.reached);
            }
        }
        if (w.idx)
            fclose(w.idx);
    }
    fclose(rf.f);
    return result;
}

int dump_nodes(const char *base_name, int index_no, FILE *out)
{
    FILE *idx = nullptr;
    int64_t blocks = 0;
    int64_t root = open_index(base_name, index_no, &idx, &blocks, out);
    if (!idx)
        return -1;
    fprintf(out, "index %d: %lld blocks, root block %lld\n", index_no, (long long)blocks,
            (long long)root);
    for (int64_t blk = 1; blk < blocks; blk++) {
        index_node node;
        if (!fileset_read_node(idx, blk, &node))
            break;
        int is_leaf = node.children[0].block == 0;
        fprintf(out, "block %lld: %s, parent %u, pos_in_parent %u, self %u, count %u\n",
                (long long)blk, is_leaf ? "leaf" : "internal", node.parent, node.pos_in_parent,
                node.self, node.count);
        int count = node.count > NODE_MAX + 1 ? NODE_MAX + 1 : node.count;
        fprintf(out, "  records:");
        for (int i = 0; i < count; i++)
            fprintf(out, "%s %lu", i > 0 && i % 16 == 0 ? "\n          " : "",
                    (unsigned long)node.records[i]);
        fputc('\n', out);
        if (!is_leaf) {
            fprintf(out, "  children:");
            for (int i = 0; i <= count && i < NODE_MAX + 2; i++)
                fprintf(out, "%s %u(%lu)", i > 0 && i % 10 == 0 ? "\n           " : "",
                        node.children[i].block, (unsigned long)node.children[i].subtree_count);
            fputc('\n', out);
        }
    }
    fclose(idx);
    return 0;
}
