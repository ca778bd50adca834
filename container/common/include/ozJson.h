/*
 * ozJson.h - JSON file and integer helpers on top of cJSON.
 *
 * cJSON_load_from_file and cJSON_dump_to_file read and write whole JSON
 * documents; the integer accessors read a JSON number as a 32- or 64-bit
 * integer. Functions that can fail return 0 / -1 (or null) and leave the
 * cause in errno.
 */
#ifndef OZ_JSON_H
#define OZ_JSON_H

#include <stdint.h>
#include <sys/types.h>

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Largest document cJSON_load_from_file reads (EFBIG beyond). */
#define OZ_JSON_FILE_MAX (64 * 1024 * 1024)

/* Parse the JSON document in the file at `path`. Null on failure with errno:
 * the file's open/read error, EFBIG when larger than OZ_JSON_FILE_MAX,
 * EBADMSG when the text is not valid JSON. The caller frees the result with
 * cJSON_Delete. */
cJSON *cJSON_load_from_file(const char *path);

/* Write `item` as formatted JSON (with a final newline) to `path`, which
 * gets the permission bits `mode`. The file is replaced atomically: written
 * to a temporary file beside it, flushed, then renamed over it, so readers
 * see either the old or the new document, never a partial one. */
int cJSON_dump_to_file(const cJSON *item, const char *path, mode_t mode);

/* The value of a JSON number as an integer, truncated toward zero and
 * clamped to the type's range; 0 (errno EINVAL) when `item` is not a
 * number. Exact for integers up to 2^53 in magnitude. */
int32_t cJSON_integer32_value(const cJSON *item);
int64_t cJSON_integer64_value(const cJSON *item);

/* TRUE (1) when `item` is a number with an integral value. */
int cJSON_IsInteger(const cJSON *item);

/* A number item holding `value` (exact up to 2^53); null on failure. */
cJSON *cJSON_CreateInteger64(int64_t value);

#ifdef __cplusplus
}
#endif

#endif /* OZ_JSON_H */
