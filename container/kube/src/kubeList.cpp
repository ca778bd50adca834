// Lists, key-value pairs and free-form JSON objects of the Kubernetes API
// client: the small containers the model records are made of.
#include "list.h"
#include "keyValuePair.h"
#include "object.h"
#include "kubeInt.h"

#include <cstdlib>
#include <cstring>

extern "C" list_t *list_createList(void)
{
    return static_cast<list_t *>(calloc(1, sizeof(list_t)));
}

extern "C" void list_freeList(list_t *listToFree)
{
    if (listToFree == nullptr) {
        return;
    }
    listEntry_t *entry = listToFree->firstEntry;
    while (entry != nullptr) {
        listEntry_t *next = entry->nextListEntry;
        free(entry);
        entry = next;
    }
    free(listToFree);
}

extern "C" void list_addElement(list_t *list, void *dataToAddInList)
{
    if (list == nullptr) {
        return;
    }
    auto *entry = static_cast<listEntry_t *>(calloc(1, sizeof(listEntry_t)));
    if (entry == nullptr) {
        return;
    }
    entry->data = dataToAddInList;
    entry->prevListEntry = list->lastEntry;
    if (list->lastEntry != nullptr) {
        list->lastEntry->nextListEntry = entry;
    } else {
        list->firstEntry = entry;
    }
    list->lastEntry = entry;
    list->count++;
}

extern "C" listEntry_t *list_getElementAt(list_t *list, long indexOfElement)
{
    if (list == nullptr || indexOfElement < 0 || indexOfElement >= list->count) {
        return nullptr;
    }
    listEntry_t *entry = list->firstEntry;
    for (long i = 0; i < indexOfElement && entry != nullptr; i++) {
        entry = entry->nextListEntry;
    }
    return entry;
}

extern "C" void list_removeElement(list_t *list, listEntry_t *elementToRemove)
{
    if (list == nullptr || elementToRemove == nullptr) {
        return;
    }
    // Only unlink entries that really belong to this list.
    listEntry_t *entry = list->firstEntry;
    while (entry != nullptr && entry != elementToRemove) {
        entry = entry->nextListEntry;
    }
    if (entry == nullptr) {
        return;
    }
    if (entry->prevListEntry != nullptr) {
        entry->prevListEntry->nextListEntry = entry->nextListEntry;
    } else {
        list->firstEntry = entry->nextListEntry;
    }
    if (entry->nextListEntry != nullptr) {
        entry->nextListEntry->prevListEntry = entry->prevListEntry;
    } else {
        list->lastEntry = entry->prevListEntry;
    }
    list->count--;
    free(entry);
}

extern "C" keyValuePair_t *keyValuePair_create(char *key, void *value)
{
    auto *pair = static_cast<keyValuePair_t *>(malloc(sizeof(keyValuePair_t)));
    if (pair == nullptr) {
        return nullptr;
    }
    pair->key = key;
    pair->value = value;
    return pair;
}

extern "C" void keyValuePair_free(keyValuePair_t *keyValuePair)
{
    free(keyValuePair);
}

extern "C" object_t *object_create(void)
{
    return static_cast<object_t *>(calloc(1, sizeof(object_t)));
}

extern "C" void object_free(object_t *object)
{
    if (object == nullptr) {
        return;
    }
    free(object->temporary);
    free(object);
}

extern "C" object_t *object_parseFromJSON(cJSON *json)
{
    if (json == nullptr) {
        return nullptr;
    }
    oz::Owner<object_t, object_free> object(object_create());
    if (!object) {
        return nullptr;
    }
    object->temporary = cJSON_PrintUnformatted(json);
    return object->temporary != nullptr ? object.release() : kube::failNull(ENOMEM);
}

extern "C" cJSON *object_convertToJSON(object_t *object)
{
    if (object == nullptr || object->temporary == nullptr) {
        return nullptr;
    }
    return cJSON_Parse(static_cast<const char *>(object->temporary));
}
