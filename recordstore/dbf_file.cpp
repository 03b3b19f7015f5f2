/* The files of the slot table and their write-through caches.
 *
 * Each open file keeps an image of all its bytes: a shared mapping of the file where the
 * platform offers one, else a heap copy read at attach. Reads come from the image; a write
 * goes into the mapping (which is the file) or into the heap copy and, in the same call, to
 * the file. Writes that extend the file always go through the file. So the files are at
 * every moment exactly what they would be without the cache. When the image cannot be set
 * up or grown, the slot falls back to reading and writing the file directly.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dbf_slot.h"
#include "dbf_os.h"

namespace {

constexpr uint64_t MIN_MAP = 1u << 20;   /* first mapping: address space only */
constexpr uint64_t MIN_HEAP = 1u << 12;

void cache_drop(file_cache *c)
{
    if (c->image) {
        if (c->mapped)
            os_unmap(c->image, c->capacity);
        else
            free(c->image);
    }
    c->image = nullptr;
    c->capacity = 0;
    c->mapped = 0;
}

/* Makes the image address at least `need` bytes; on failure the slot becomes uncached. */
void cache_grow(slot_state *s, uint64_t need)
{
    file_cache *c = &s->cache;
    uint64_t cap = c->capacity * 2;
    if (cap < need)
        cap = need;
    if (c->mapped) {
        if (cap < MIN_MAP)
            cap = MIN_MAP;
        os_unmap(c->image, c->capacity);
        c->image = os_map(s->file, cap);
        c->capacity = c->image ? cap : 0;
        if (!c->image)
            c->mapped = 0;
        return;
    }
    if (cap < MIN_HEAP)
        cap = MIN_HEAP;
    if (cap > (uint64_t)SIZE_MAX) {
        cache_drop(c);
        return;
    }
    uint8_t *p = (uint8_t *)realloc(c->image, (size_t)cap);
    if (!p) {
        cache_drop(c);
        return;
    }
    c->image = p;
    c->capacity = cap;
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
    c->size = size;
    c->capacity = 0;
    c->mapped = 0;
    uint64_t cap = size * 2 < MIN_MAP ? MIN_MAP : size * 2;
    c->image = os_map(file, cap);
    if (c->image) {
        c->capacity = cap;
        c->mapped = 1;
        return 1;
    }
    cap = size < MIN_HEAP ? MIN_HEAP : size + size / 2;
    if (cap <= (uint64_t)SIZE_MAX)
        c->image = (uint8_t *)malloc((size_t)cap);
    if (c->image) {
        c->capacity = cap;
        if (size > 0 && !os_read_at(file, 0, c->image, (size_t)size))
            cache_drop(c);
    }
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
    if (s->file)
        fclose(s->file);
    s->file = nullptr;
}

uint64_t file_size(int slot) { return slot_table[slot].cache.size; }

int file_read_at(int slot, uint64_t off, void *buf, size_t len)
{
    slot_state *s = &slot_table[slot];
    file_cache *c = &s->cache;
    if (off > c->size || len > c->size - off) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    if (c->image) {
        memcpy(buf, c->image + off, len);
        return 1;
    }
    if (!os_read_at(s->file, off, buf, len)) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    return 1;
}

const uint8_t *file_peek(int slot, uint64_t off, size_t len)
{
    file_cache *c = &slot_table[slot].cache;
    if (!c->image || off > c->size || len > c->size - off)
        return nullptr;
    return c->image + off;
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
    if (c->image && end > c->capacity)
        cache_grow(s, end);
    if (c->image && c->mapped && end <= c->size) {
        memcpy(c->image + off, buf, len);
        return 1;
    }
    /* Through the file: uncached, heap copy, or a write that extends a mapped file (the
     * mapping then shows the new bytes, as it maps the file's pages). */
    if (!os_write_at(s->file, off, buf, len)) {
        /* The file's length and content are now uncertain: stop trusting the image. */
        cache_drop(c);
        uint64_t size = 0;
        if (os_file_size(s->file, &size))
            c->size = size;
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (c->image && !c->mapped)
        memcpy(c->image + off, buf, len);
    if (end > c->size)
        c->size = end;
    return 1;
}

int file_shorten(int slot, uint64_t size)
{
    slot_state *s = &slot_table[slot];
    if (size > s->cache.size || !os_truncate(s->file, size)) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    s->cache.size = size;
    return 1;
}
