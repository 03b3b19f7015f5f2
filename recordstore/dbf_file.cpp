/* The files of the slot table and their write-through caches.
 *
 * Each open file keeps a copy of all its bytes (struct file_cache): a shared mapping of the
 * file (the view) and, past the view, a heap copy (the tail). Reads come from the copy; a
 * write inside the view is a store into the file itself, any other write goes to the file
 * and, in the same call, into the tail. So the files are at every moment exactly what they
 * would be without the cache. When no copy can be had, the slot reads and writes the file
 * directly.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbf_os.h"
#include "dbf_slot.h"

int cache_mode = CACHE_MAP;

namespace {

constexpr uint64_t MIN_MAP = 1u << 20;   /* a view past the end reaches at least this far */
constexpr uint64_t MIN_TAIL = 1u << 16;  /* a tail this long is worth mapping */

void view_drop(file_cache *c)
{
    if (c->view)
        os_unmap(c->view, c->view_len);
    c->view = nullptr;
    c->view_len = 0;
}

void cache_drop(file_cache *c)
{
    view_drop(c);
    free(c->tail);
    c->tail = nullptr;
    c->tail_cap = 0;
    c->cached = 0;
}

/* Maps the whole file anew (as far past its end as the platform allows) in place of the old
 * view; the tail is then empty. 1, or 0 with the cache as it was. */
int view_remap(slot_state *s)
{
    file_cache *c = &s->cache;
    if (cache_mode == CACHE_HEAP || c->size == 0)
        return 0;
    uint64_t len = c->size;
    if (c->past_end)
        len = c->size * 2 < MIN_MAP ? MIN_MAP : c->size * 2;
    uint8_t *view = os_map(s->file, len);
    if (!view)
        return 0;
    view_drop(c);
    c->view = view;
    c->view_len = len;
    c->map_at = c->past_end ? 0 : (len / 8 > MIN_TAIL ? len / 8 : MIN_TAIL);
    return 1;
}

/* Makes room in the tail for the bytes up to the file's end. 1, or 0 when memory ran out. */
int tail_reserve(file_cache *c)
{
    uint64_t need = c->size - c->view_len;
    if (need <= c->tail_cap)
        return 1;
    uint64_t cap = c->tail_cap * 2 > need ? c->tail_cap * 2 : need;
    if (cap < 4096)
        cap = 4096;
    if (cap > (uint64_t)SIZE_MAX)
        return 0;
    uint8_t *p = (uint8_t *)realloc(c->tail, (size_t)cap);
    if (!p)
        return 0;
    c->tail = p;
    c->tail_cap = cap;
    return 1;
}

/* After bytes [off, off + len) went to the file through an ordinary write: brings the copy up
 * to date, by mapping the file anew when the tail has grown as long as the view is worth, else
 * by copying what lies past the view into the tail. On failure the slot becomes uncached. */
void copy_written(slot_state *s, uint64_t off, const void *buf, size_t len)
{
    file_cache *c = &s->cache;
    if (c->size <= c->view_len)
        return;
    uint64_t tail_len = c->size - c->view_len;
    if (tail_len > c->map_at) {
        if (view_remap(s))
            return;
        c->map_at = tail_len * 2; /* try again when the tail has doubled */
    }
    if (!tail_reserve(c)) {
        cache_drop(c);
        return;
    }
    uint64_t from = off > c->view_len ? off : c->view_len;
    memcpy(c->tail + (from - c->view_len), (const uint8_t *)buf + (from - off),
           (size_t)(off + len - from));
}

} // namespace

int file_attach(int slot, FILE *file)
{
    slot_state *s = &slot_table[slot];
    uint64_t size = 0;
    if (!os_file_size(file, &size)) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    s->file = file;
    file_cache *c = &s->cache;
    memset(c, 0, sizeof *c);
    c->size = size;
    c->pointer = OS_POINTER_UNKNOWN;
    if (cache_mode == CACHE_OFF)
        return 1;
    c->past_end = cache_mode == CACHE_MAP && os_map_past_end();
    c->map_at = c->past_end ? 0 : MIN_TAIL;
    c->cached = 1;
    if (view_remap(s) || size == 0)
        return 1;
    if (!tail_reserve(c) || !os_read_at(file, &c->pointer, 0, c->tail, (size_t)size))
        cache_drop(c);
    return 1;
}

int file_open_into(int slot, const char *path, const char *mode, int fail_code)
{
    FILE *file = fopen(path, mode);
    if (!file) {
        last_error = fail_code;
        return 0;
    }
    if (!file_attach(slot, file)) {
        fclose(file);
        if (mode[0] == 'w')
            remove(path);
        last_error = fail_code;
        return 0;
    }
    return 1;
}

void file_detach(int slot)
{
    slot_state *s = &slot_table[slot];
    cache_drop(&s->cache);
    free(s->keys.mem);
    free(s->keys.stamps);
    s->keys = key_cache{};
    if (s->file)
        fclose(s->file);
    s->file = nullptr;
}

int file_read_at(int slot, uint64_t off, void *buf, size_t len)
{
    slot_state *s = &slot_table[slot];
    file_cache *c = &s->cache;
    if (off > c->size || len > c->size - off) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    if (c->cached) {
        uint8_t *out = (uint8_t *)buf;
        uint64_t end = off + len;
        uint64_t split = end < c->view_len ? end : (off > c->view_len ? off : c->view_len);
        if (split > off)
            memcpy(out, c->view + off, (size_t)(split - off));
        if (end > split)
            memcpy(out + (split - off), c->tail + (split - c->view_len), (size_t)(end - split));
        return 1;
    }
    if (!os_read_at(s->file, &c->pointer, off, buf, len)) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    return 1;
}

int file_write_at(int slot, uint64_t off, const void *buf, size_t len)
{
    slot_state *s = &slot_table[slot];
    file_cache *c = &s->cache;
    uint64_t end = off + len;
    if (off > c->size) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (c->cached && end <= c->size && end <= c->view_len) {
        memcpy(c->view + off, buf, len);
        return 1;
    }
    /* Through the file: a write that extends it, or one that reaches the tail. The view shows
     * the new bytes, as it maps the file's pages. */
    if (!os_write_at(s->file, &c->pointer, off, buf, len)) {
        /* The file's length and content are now uncertain: stop trusting the copy. */
        cache_drop(c);
        uint64_t size = 0;
        if (os_file_size(s->file, &size))
            c->size = size;
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (end > c->size)
        c->size = end;
    if (c->cached)
        copy_written(s, off, buf, len);
    return 1;
}

int file_shorten(int slot, uint64_t size)
{
    slot_state *s = &slot_table[slot];
    file_cache *c = &s->cache;
    if (size > c->size) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    /* Where a view may not reach past the file's end (Windows), a file with a view cannot be
     * shortened at all: the view goes first and the file is mapped anew afterwards. */
    int remap = c->view && !c->past_end;
    if (remap)
        view_drop(c);
    c->pointer = OS_POINTER_UNKNOWN;
    if (!os_truncate(s->file, size)) {
        cache_drop(c);
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    c->size = size;
    if (remap && c->cached && !view_remap(s) && size > 0)
        cache_drop(c);
    return 1;
}
