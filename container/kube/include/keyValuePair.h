/* keyValuePair.h - one member of a string map (labels, annotations,
 * resource quantities, secret data). The pair holds the key and the value it
 * was given; keyValuePair_free releases only the pair. Maps inside model
 * records own their keys and values: the record's _free releases them. */
#ifndef KUBE_KEY_VALUE_PAIR_H
#define KUBE_KEY_VALUE_PAIR_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct keyValuePair_t {
    char *key;
    void *value;
} keyValuePair_t;

/* A new pair holding key and value (not copied), or null when out of memory. */
keyValuePair_t *keyValuePair_create(char *key, void *value);

/* Frees the pair, not its key or value; null is allowed. */
void keyValuePair_free(keyValuePair_t *keyValuePair);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_KEY_VALUE_PAIR_H */
