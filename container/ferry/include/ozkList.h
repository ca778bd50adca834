/*
 * ozkList.h - singly linked lists with head and tail, as used by the node
 * agent's caches and event lists. Every element begins with its link.
 */
#ifndef OZK_LIST_H
#define OZK_LIST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct slNode {
    struct slNode *next;
} SL_NODE;

typedef struct slList {
    SL_NODE *head;
    SL_NODE *tail;
} SL_LIST;

static inline void sllInit(SL_LIST *list)
{
    list->head = NULL;
    list->tail = NULL;
}

static inline SL_NODE *sllFirst(const SL_LIST *list)
{
    return list->head;
}
static inline SL_NODE *sllNext(const SL_NODE *node)
{
    return node->next;
}

static inline void sllPutAtTail(SL_LIST *list, SL_NODE *node)
{
    node->next = NULL;
    if (list->tail == NULL) {
        list->head = node;
    } else {
        list->tail->next = node;
    }
    list->tail = node;
}

/* Unlink `node`, whose predecessor is `prev` (null for the head). */
static inline void sllRemove(SL_LIST *list, SL_NODE *node, SL_NODE *prev)
{
    if (prev == NULL) {
        list->head = node->next;
    } else {
        prev->next = node->next;
    }
    if (list->tail == node) {
        list->tail = prev;
    }
    node->next = NULL;
}

/* Unlink and return the first element, or null. */
static inline SL_NODE *sllGet(SL_LIST *list)
{
    SL_NODE *node = list->head;
    if (node != NULL) {
        sllRemove(list, node, NULL);
    }
    return node;
}

static inline size_t sllCount(const SL_LIST *list)
{
    size_t n = 0;
    for (const SL_NODE *node = list->head; node != NULL; node = node->next) {
        n++;
    }
    return n;
}

#ifdef __cplusplus
}
#endif

#endif /* OZK_LIST_H */
