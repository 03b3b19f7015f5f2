/* ZKW_DBF: a record store of fixed-length records with order-statistic B-tree indexes.
 *
 * A file set is named by a base name of 3 to 250 characters: the record file is the base
 * name followed by ".db0", index n (1 to 8) lives in the base name followed by ".db" and n.
 * Handles are 64 to 95 (64 plus the slot number); record numbers and ranks are 0-based.
 * Every function sets the library's last error code; no function returns it.
 *
 * Calls must not overlap: the library keeps process-wide state and takes no locks.
 */
#ifndef ZKW_DBF_H
#define ZKW_DBF_H

#if defined(_WIN32)
#  if defined(ZKW_DBF_BUILDING)
#    define ZKW_API __declspec(dllexport)
#  else
#    define ZKW_API
#  endif
#else
#  if defined(ZKW_DBF_BUILDING)
#    define ZKW_API __attribute__((visibility("default")))
#  else
#    define ZKW_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Whence values of lseek_DBF. */
#define DBF_SEEK_SET 0
#define DBF_SEEK_CUR 1
#define DBF_SEEK_END 2

/* Ordinal 1. Creates base.db0 with room for records of record_length bytes (1 to 32767).
 * Returns a handle, or -1. */
ZKW_API int create_DBF(const char *base_name, int record_length);
/* Ordinal 2. Closes a record file and its indexes. Returns 1, or 0. */
ZKW_API int close_DBF(int handle);
/* Ordinal 3. Creates empty index n (1 to 8) on the key at key_offset, key_length bytes long.
 * Returns 1, or 0. */
ZKW_API int create_index(int handle, int index_no, int key_offset, int key_length);
/* Ordinal 4. Deletes index n. Returns 1 (also when it did not exist), or 0. */
ZKW_API int remove_index(int handle, int index_no);
/* Ordinal 5. Deletes a closed file set: the record file and every index its header lists.
 * Returns 1, or 0. */
ZKW_API int remove_DBF(const char *base_name);
/* Ordinal 6. Builds index n afresh over every record, taken in the order of index
 * order_index (0: record-number order). Returns 1, or 0. */
ZKW_API int rebuild_index(int handle, int index_no, int order_index, int key_offset,
                          int key_length);
/* Ordinal 7. Opens base.db0 and every index its header lists. Returns a handle, or -1. */
ZKW_API int open_DBF(const char *base_name);
/* Ordinal 8. Appends a record of record_length bytes and enters it into every open index.
 * Returns 1, or 0. */
ZKW_API int add_member(int handle, const void *record);
/* Ordinal 9. Puts the cursor of index n on the first record whose key is not below key.
 * Returns 1 when that record's key equals key, 0 when not, -1 on failure. */
ZKW_API int has_member(int handle, int index_no, const void *key);
/* Ordinal 10. Removes the record under the cursor of index n. Returns 1, or 0. */
ZKW_API int delete_member(int handle, int index_no);
/* Ordinal 11. Returns the rank of the cursor of index n, or -1. */
ZKW_API int tell_DBF(int handle, int index_no);
/* Ordinal 12. Reads the record under the cursor of index n. Returns 1, or 0. */
ZKW_API int get_member(int handle, int index_no, void *record);
/* Ordinal 13. Overwrites the record under the cursor of index n; no index is reordered.
 * Returns 1, or 0. */
ZKW_API int update_member(int handle, int index_no, const void *record);
/* Ordinal 14. Returns the number of records, or -1. */
ZKW_API int member_in_DBF(int handle);
/* Ordinal 15. Moves the cursor of index n by rank, as lseek does (DBF_SEEK_*).
 * Returns the new rank; 0 on an empty file; -1 on failure; -9 when the index holds fewer
 * entries than the record file has records. */
ZKW_API int lseek_DBF(int handle, int index_no, int offset, int whence);

#ifdef __cplusplus
}
#endif

#endif
