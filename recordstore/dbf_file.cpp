/* The files of the slot table and their write-through caches.
 *
 * Each open file keeps a copy of all its bytes (struct file_cache): shared mappings of the
 * file (the views) and, past them, a heap copy (the tail). Reads come from the copy; a write
 * inside the views is a store into the file itself, any other write goes to the file and, in
 * the same call, into the tail. So the files are at every moment exactly what they would be
 * without the cache. When no copy can be had, the slot reads and writes the file directly.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbf_os.h"
#include "dbf_slot.h"

int cache_mode = CACHE_MAP;

namespace {

constexpr uint64_t MIN_MAP = 1u << 20;   /* a view past the end reaches at least this far */
constexpr uint64_t MIN_TAIL = 1u << 16;  /* a tail this long is worth a view */
/* Writes to the tail's older bytes that cost about as much as mapping the tail does (a
 * write-through is a system call; a view is several, and a round trip to the Windows
 * emulator's server). */
constexpr uint32_t REWRITES_BEFORE_MAP = 64;

void views_drop(file_cache *c)
{
    for (int k = 0; k < c->view_count; k++)
        os_unmap(c->views[k].base, c->views[k].to - c->views[k].from);
    memset(c->views, 0, sizeof c->views);
    c->view_count = 0;
    c->covered = 0;
}

void cache_drop(file_cache *c)
{
    views_drop(c);
    free(c->tail);
    c->tail = nullptr;
    c->tail_cap = 0;
    c->cached = 0;
}

/* The tail length at which it is mapped: a sixteenth of the file, so that views stay few. */
uint64_t next_map_at(const file_cache *c)
{
    return c->size / 16 > MIN_TAIL ? c->size / 16 : MIN_TAIL;
}

/* Maps the whole file anew in one view (as far past its end as the platform allows) in place
 * of the views it had; the tail is then empty. 1, or 0 with the cache as it was. */
int map_whole(slot_state *s)
{
    file_cache *c = &s->cache;
    if (cache_mode == CACHE_HEAP || c->size == 0)
        return 0;
    uint64_t len = c->size;
    if (c->past_end)
        len = c->size * 2 < MIN_MAP ? MIN_MAP : c->size * 2;
    uint8_t *base = os_map(s->file, 0, len);
    if (!base)
        return 0;
    views_drop(c);
    c->views[0] = file_view{base, 0, len};
    c->view_count = 1;
    c->covered = len;
    c->map_at = c->past_end ? 0 : next_map_at(c);
    c->rewrites = 0;
    return 1;
}

/* Maps the tail in a view of its own after the others, or the whole file anew when there is
 * no view yet, or no room for one more. 1, or 0 with the cache as it was. */
int map_tail(slot_state *s)
{
    file_cache *c = &s->cache;
    if (c->past_end || c->view_count == 0 || c->view_count == FILE_VIEWS)
        return map_whole(s);
    uint64_t from = c->covered - c->covered % os_map_granularity();
    uint8_t *base = os_map(s->file, from, c->size - from);
    if (!base)
        return 0;
    c->views[c->view_count++] = file_view{base, from, c->size};
    c->covered = c->size;
    c->map_at = next_map_at(c);
    c->rewrites = 0;
    return 1;
}

/* Makes room in the tail for the bytes up to the file's end. 1, or 0 when memory ran out. */
int tail_reserve(file_cache *c)
{
    uint64_t need = c->size - c->covered;
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

/* The cached bytes at off (inside the file): a pointer to them, and in *avail how many follow
 * there without a break. */
uint8_t *cache_span(const file_cache *c, uint64_t off, uint64_t *avail)
{
    if (off >= c->covered) {
        *avail = c->size - off;
        return c->tail + (off - c->covered);
    }
    int k = c->view_count - 1;
    while (c->views[k].from > off)
        k--;
    *avail = c->views[k].to - off;
    return c->views[k].base + (off - c->views[k].from);
}

/* Copies the cached bytes [off, off + len) to out, or, when out is NULL, the bytes at in over
 * them. */
void cache_copy(const file_cache *c, uint64_t off, uint8_t *out, const uint8_t *in, size_t len)
{
    for (size_t done = 0; done < len;) {
        uint64_t avail = 0;
        uint8_t *p = cache_span(c, off + done, &avail);
        size_t n = avail < len - done ? (size_t)avail : len - done;
        if (out)
            memcpy(out + done, p, n);
        else
            memcpy(p, in + done, n);
        done += n;
    }
}

/* After bytes [off, off + len) went to the file through an ordinary write: brings the copy up
 * to date. The views show them already; the tail gets what lies past the views, unless the
 * tail is due to be mapped. On failure the slot becomes uncached. */
void copy_written(slot_state *s, uint64_t off, const void *buf, size_t len)
{
    file_cache *c = &s->cache;
    if (c->size <= c->covered)
        return;
    uint64_t tail_len = c->size - c->covered;
    if (tail_len > c->map_at || c->rewrites > REWRITES_BEFORE_MAP) {
        if (map_tail(s))
            return;
        c->map_at = tail_len * 2; /* try again when the tail has doubled */
        c->rewrites = 0;
    }
    if (!tail_reserve(c)) {
        cache_drop(c);
        return;
    }
    uint64_t from = off > c->covered ? off : c->covered;
    memcpy(c->tail + (from - c->covered), (const uint8_t *)buf + (from - off),
           (size_t)(off + len - from));
}

} // namespace

const uint8_t *file_peek_beyond(const file_cache *c, uint64_t off, size_t len)
{
    uint64_t avail = 0;
    const uint8_t *p = cache_span(c, off, &avail);
    return len <= avail ? p : nullptr;
}

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
    if (map_whole(s) || size == 0)
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
        cache_copy(c, off, (uint8_t *)buf, nullptr, len);
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
    if (c->cached && end <= c->size && end <= c->covered) {
        cache_copy(c, off, nullptr, (const uint8_t *)buf, len);
        return 1;
    }
    /* Through the file: a write that extends it, or one that reaches the tail. The views show
     * the new bytes, as they map the file's pages. */
    if (!os_write_at(s->file, &c->pointer, off, buf, len)) {
        /* The file's length and content are now uncertain: stop trusting the copy. */
        cache_drop(c);
        uint64_t size = 0;
        if (os_file_size(s->file, &size))
            c->size = size;
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (end > c->size) {
        c->size = end;
        c->append_at = off;
    } else if (off < c->append_at) {
        c->rewrites++;
    }
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
     * shortened at all: the views go first and the file is mapped anew afterwards. */
    int remap = c->view_count > 0 && !c->past_end;
    if (remap)
        views_drop(c);
    c->pointer = OS_POINTER_UNKNOWN;
    if (!os_truncate(s->file, size)) {
        cache_drop(c);
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    c->size = size;
    c->append_at = size;
    if (remap && c->cached && !map_whole(s) && size > 0)
        cache_drop(c);
    return 1;
}
