/* object.h - a free-form JSON value, used for patch bodies: `temporary`
 * holds the JSON text (heap string, owned by the record). */
#ifndef KUBE_OBJECT_H
#define KUBE_OBJECT_H

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct object_t {
    void *temporary; /* JSON text (char *), malloc'ed; freed by object_free */
} object_t;

/* A new empty object (temporary null), or null when out of memory. */
object_t *object_create(void);

/* Frees the text and the record; null is allowed. */
void object_free(object_t *object);

/* A new object whose text is the unformatted print of json; null for a null
 * json or when out of memory. */
object_t *object_parseFromJSON(cJSON *json);

/* The JSON tree of the text (caller deletes it); null when the record or its
 * text is null or the text is not JSON. */
cJSON *object_convertToJSON(object_t *object);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_OBJECT_H */
