/* list.h - doubly linked list of opaque elements used by the Kubernetes
 * client records (lists of sub-records, of strings and of key-value pairs).
 * The list owns its entries, never the elements: whoever fills a list frees
 * the elements before list_freeList. */
#ifndef KUBE_LIST_H
#define KUBE_LIST_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct listEntry_t listEntry_t;

struct listEntry_t {
    listEntry_t *nextListEntry;
    listEntry_t *prevListEntry;
    void *data;
};

typedef struct list_t {
    listEntry_t *firstEntry;
    listEntry_t *lastEntry;
    long count;
} list_t;

/* Walks every entry of a list from the first to the last; a null list is an
 * empty one. The entry must not be unlinked while it is the cursor. */
#define list_ForEach(element, list)                                                                                    \
    for ((element) = ((list) != NULL) ? (list)->firstEntry : NULL; (element) != NULL;                                  \
         (element) = (element)->nextListEntry)

/* A new empty list, or null when out of memory. */
list_t *list_createList(void);

/* Frees the entries and the list itself (not the elements); null is allowed. */
void list_freeList(list_t *listToFree);

/* Appends an element at the tail. Nothing happens for a null list or when no
 * entry can be allocated (the count then does not change). */
void list_addElement(list_t *list, void *dataToAddInList);

/* The entry at a zero-based position, or null when out of range. */
listEntry_t *list_getElementAt(list_t *list, long indexOfElement);

/* Unlinks and frees one entry of the list (not its element). */
void list_removeElement(list_t *list, listEntry_t *elementToRemove);

#ifdef __cplusplus
}
#endif

#endif /* KUBE_LIST_H */
