// Model records of the Kubernetes API client and their JSON conversion.
//
// Every record is described by a table of its fields (JSON name, kind, place
// in the C record); one generic parser, converter and destructor work from
// these tables. A parsed record keeps in _origJson the shape of the object it
// came from: members without a field are kept whole, members with a field
// leave a raw placeholder that only marks their position. Converting back
// walks that shape, so unknown members survive unchanged and known ones are
// written from the fields, in the original order.
#include "kubeInt.h"
#include "kubeModels.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

enum class FieldKind : uint8_t {
    Str,     // char *
    Int,     // int
    Long,    // long
    Bool,    // int, JSON true/false
    Obj,     // pointer to a sub-record
    ObjList, // list_t of sub-record pointers
    StrList, // list_t of char *
    StrMap,  // list_t of keyValuePair_t with char * key and value
};

struct ModelDesc;

struct FieldDesc {
    const char *json;
    FieldKind kind;
    size_t offset;
    const ModelDesc *sub;
    bool required;
};

struct ModelDesc {
    size_t size;
    size_t origOffset;
    std::span<const FieldDesc> fields;
};

template <typename T>
T &fieldAt(void *rec, size_t offset)
{
    return *reinterpret_cast<T *>(static_cast<char *>(rec) + offset);
}

template <typename T>
T fieldAt(const void *rec, size_t offset)
{
    return *reinterpret_cast<const T *>(static_cast<const char *>(rec) + offset);
}

const FieldDesc *fieldFind(const ModelDesc &desc, const char *name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (const FieldDesc &f : desc.fields) {
        if (strcmp(f.json, name) == 0) {
            return &f;
        }
    }
    return nullptr;
}

void modelFree(const ModelDesc &desc, void *rec);

void stringListFree(list_t *list)
{
    listEntry_t *e = nullptr;
    list_ForEach(e, list)
    {
        free(e->data);
    }
    list_freeList(list);
}

void stringMapFree(list_t *list)
{
    listEntry_t *e = nullptr;
    list_ForEach(e, list)
    {
        auto *pair = static_cast<keyValuePair_t *>(e->data);
        if (pair != nullptr) {
            free(pair->key);
            free(pair->value);
            keyValuePair_free(pair);
        }
    }
    list_freeList(list);
}

void fieldFree(const FieldDesc &f, void *rec)
{
    switch (f.kind) {
    case FieldKind::Str:
        free(fieldAt<char *>(rec, f.offset));
        fieldAt<char *>(rec, f.offset) = nullptr;
        break;
    case FieldKind::Int:
    case FieldKind::Bool:
        fieldAt<int>(rec, f.offset) = 0;
        break;
    case FieldKind::Long:
        fieldAt<long>(rec, f.offset) = 0;
        break;
    case FieldKind::Obj:
        modelFree(*f.sub, fieldAt<void *>(rec, f.offset));
        fieldAt<void *>(rec, f.offset) = nullptr;
        break;
    case FieldKind::ObjList: {
        list_t *list = fieldAt<list_t *>(rec, f.offset);
        listEntry_t *e = nullptr;
        list_ForEach(e, list)
        {
            modelFree(*f.sub, e->data);
        }
        list_freeList(list);
        fieldAt<list_t *>(rec, f.offset) = nullptr;
        break;
    }
    case FieldKind::StrList:
        stringListFree(fieldAt<list_t *>(rec, f.offset));
        fieldAt<list_t *>(rec, f.offset) = nullptr;
        break;
    case FieldKind::StrMap:
        stringMapFree(fieldAt<list_t *>(rec, f.offset));
        fieldAt<list_t *>(rec, f.offset) = nullptr;
        break;
    }
}

void modelFree(const ModelDesc &desc, void *rec)
{
    if (rec == nullptr) {
        return;
    }
    for (const FieldDesc &f : desc.fields) {
        fieldFree(f, rec);
    }
    cJSON_Delete(fieldAt<cJSON *>(rec, desc.origOffset));
    free(rec);
}

void *modelParse(const ModelDesc &desc, const cJSON *json, bool lenient = false);

// Appends an element to a list; false when out of memory (the element is then
// not in the list and stays the caller's).
bool listAppend(list_t *list, void *data)
{
    long before = list->count;
    list_addElement(list, data);
    return list->count != before;
}

// A JSON number without a fraction within [lo, hi]: what an integer field
// holds without changing it.
bool isWholeNumber(const cJSON *item, double lo, double hi)
{
    if (!cJSON_IsNumber(item)) {
        return false;
    }
    double v = item->valuedouble;
    return v >= lo && v <= hi && std::trunc(v) == v;
}

// Parses one member into its field; false on a JSON type that does not fit
// the field or out of memory (the field is then left empty).
bool fieldParse(const FieldDesc &f, void *rec, const cJSON *item)
{
    switch (f.kind) {
    case FieldKind::Str: {
        if (!cJSON_IsString(item)) {
            return false;
        }
        char *copy = strdup(item->valuestring);
        fieldAt<char *>(rec, f.offset) = copy;
        return copy != nullptr;
    }
    case FieldKind::Int:
        if (!isWholeNumber(item, INT_MIN, INT_MAX)) {
            return false;
        }
        fieldAt<int>(rec, f.offset) = static_cast<int>(item->valuedouble);
        return true;
    case FieldKind::Long:
        // Within the range a double carries exactly.
        if (!isWholeNumber(item, -9007199254740992.0, 9007199254740992.0)) {
            return false;
        }
        fieldAt<long>(rec, f.offset) = static_cast<long>(item->valuedouble);
        return true;
    case FieldKind::Bool:
        if (!cJSON_IsBool(item)) {
            return false;
        }
        fieldAt<int>(rec, f.offset) = cJSON_IsTrue(item) ? 1 : 0;
        return true;
    case FieldKind::Obj: {
        void *sub = modelParse(*f.sub, item);
        fieldAt<void *>(rec, f.offset) = sub;
        return sub != nullptr;
    }
    case FieldKind::ObjList:
    case FieldKind::StrList: {
        if (!cJSON_IsArray(item)) {
            return false;
        }
        list_t *list = list_createList();
        fieldAt<list_t *>(rec, f.offset) = list;
        if (list == nullptr) {
            return false;
        }
        const cJSON *el = nullptr;
        cJSON_ArrayForEach(el, item)
        {
            void *data = nullptr;
            if (f.kind == FieldKind::ObjList) {
                data = modelParse(*f.sub, el);
            } else if (cJSON_IsString(el)) {
                data = strdup(el->valuestring);
            }
            if (data == nullptr) {
                return false;
            }
            if (!listAppend(list, data)) {
                if (f.kind == FieldKind::ObjList) {
                    modelFree(*f.sub, data);
                } else {
                    free(data);
                }
                return false;
            }
        }
        return true;
    }
    case FieldKind::StrMap: {
        if (!cJSON_IsObject(item)) {
            return false;
        }
        list_t *list = list_createList();
        fieldAt<list_t *>(rec, f.offset) = list;
        if (list == nullptr) {
            return false;
        }
        const cJSON *el = nullptr;
        cJSON_ArrayForEach(el, item)
        {
            if (!cJSON_IsString(el)) {
                return false;
            }
            oz::MallocPtr<char> key(strdup(el->string));
            oz::MallocPtr<char> value(strdup(el->valuestring));
            keyValuePair_t *pair = (key && value) ? keyValuePair_create(key.get(), value.get()) : nullptr;
            if (pair == nullptr || !listAppend(list, pair)) {
                keyValuePair_free(pair);
                return false;
            }
            // the pair in the list owns them now
            key.release();
            value.release();
        }
        return true;
    }
    }
    return false;
}

// A record from a JSON object. With 'lenient' (an error answer's Status
// parsed as the kind that was asked for), a member whose JSON type does not
// fit its field, such as a Status's "status" text where a pod has its status
// record, is kept as it came and the field stays empty; otherwise such a
// member refuses the whole object.
void *modelParse(const ModelDesc &desc, const cJSON *json, bool lenient)
{
    if (!cJSON_IsObject(json)) {
        return nullptr;
    }
    oz::MallocPtr<void> block(calloc(1, desc.size));
    oz::JsonPtr shapeOwner(cJSON_CreateObject());
    if (!block || !shapeOwner) {
        return nullptr;
    }
    // From here modelFree releases the record and its shape.
    void *rec = block.release();
    cJSON *shape = shapeOwner.release();
    fieldAt<cJSON *>(rec, desc.origOffset) = shape;
    const cJSON *member = nullptr;
    cJSON_ArrayForEach(member, json)
    {
        const FieldDesc *f = fieldFind(desc, member->string);
        cJSON *kept = nullptr;
        if (f == nullptr) {
            kept = cJSON_Duplicate(member, 1);
        } else if (cJSON_IsNull(member)) {
            // An explicit null: the field stays empty, the null is written back.
            kept = cJSON_CreateNull();
        } else {
            fieldFree(*f, rec); // a repeated member: the last one counts
            if (fieldParse(*f, rec, member)) {
                kept = cJSON_CreateRaw("");
            } else if (lenient) {
                fieldFree(*f, rec);
                kept = cJSON_Duplicate(member, 1);
            } else {
                modelFree(desc, rec);
                return nullptr;
            }
        }
        if (kept == nullptr) {
            modelFree(desc, rec);
            return nullptr;
        }
        cJSON_AddItemToObject(shape, member->string, kept);
    }
    return rec;
}

cJSON *modelConvert(const ModelDesc &desc, const void *rec);

// The JSON of one field, or null when the field is not to be written.
// 'writeZero' tells that a zero number or a false boolean is written: the
// member came with the parsed object, or the API requires it in a record
// that was built here. Sets 'failed' when out of memory.
cJSON *fieldConvert(const FieldDesc &f, const void *rec, bool writeZero, bool &failed)
{
    cJSON *item = nullptr;
    switch (f.kind) {
    case FieldKind::Str: {
        const char *s = fieldAt<char *>(rec, f.offset);
        if (s == nullptr) {
            return nullptr;
        }
        item = cJSON_CreateString(s);
        break;
    }
    case FieldKind::Int:
    case FieldKind::Bool: {
        int v = fieldAt<int>(rec, f.offset);
        if (v == 0 && !writeZero) {
            return nullptr;
        }
        item = (f.kind == FieldKind::Bool) ? cJSON_CreateBool(v != 0) : cJSON_CreateNumber(v);
        break;
    }
    case FieldKind::Long: {
        long v = fieldAt<long>(rec, f.offset);
        if (v == 0 && !writeZero) {
            return nullptr;
        }
        item = cJSON_CreateNumber(static_cast<double>(v));
        break;
    }
    case FieldKind::Obj: {
        const void *sub = fieldAt<void *>(rec, f.offset);
        if (sub == nullptr) {
            return nullptr;
        }
        item = modelConvert(*f.sub, sub);
        break;
    }
    case FieldKind::ObjList:
    case FieldKind::StrList:
    case FieldKind::StrMap: {
        list_t *list = fieldAt<list_t *>(rec, f.offset);
        if (list == nullptr) {
            return nullptr;
        }
        oz::JsonPtr built((f.kind == FieldKind::StrMap) ? cJSON_CreateObject() : cJSON_CreateArray());
        if (!built) {
            break;
        }
        bool whole = true;
        listEntry_t *e = nullptr;
        list_ForEach(e, list)
        {
            if (e->data == nullptr) {
                continue;
            }
            if (f.kind == FieldKind::StrMap) {
                auto *pair = static_cast<keyValuePair_t *>(e->data);
                if (pair->key == nullptr) {
                    continue;
                }
                cJSON *v = pair->value ? cJSON_CreateString(static_cast<char *>(pair->value)) : cJSON_CreateNull();
                if (v == nullptr) {
                    whole = false;
                    break;
                }
                cJSON_AddItemToObject(built.get(), pair->key, v);
                continue;
            }
            cJSON *el = (f.kind == FieldKind::ObjList) ? modelConvert(*f.sub, e->data)
                                                       : cJSON_CreateString(static_cast<char *>(e->data));
            if (el == nullptr) {
                whole = false;
                break;
            }
            cJSON_AddItemToArray(built.get(), el);
        }
        item = whole ? built.release() : nullptr;
        break;
    }
    }
    if (item == nullptr) {
        failed = true;
    }
    return item;
}

cJSON *modelConvert(const ModelDesc &desc, const void *rec)
{
    if (rec == nullptr) {
        return nullptr;
    }
    oz::JsonPtr out(cJSON_CreateObject());
    if (!out) {
        return nullptr;
    }
    bool failed = false;
    uint32_t written = 0; // bit i: field i has been handled through the shape
    const cJSON *shape = fieldAt<cJSON *>(rec, desc.origOffset);
    const cJSON *member = nullptr;
    cJSON_ArrayForEach(member, shape)
    {
        const FieldDesc *f = fieldFind(desc, member->string);
        cJSON *item = nullptr;
        if (f != nullptr && (cJSON_IsRaw(member) || cJSON_IsNull(member))) {
            written |= 1u << (f - desc.fields.data());
            item = fieldConvert(*f, rec, cJSON_IsRaw(member), failed);
            if (item == nullptr && !failed && cJSON_IsNull(member)) {
                item = cJSON_CreateNull();
                failed = item == nullptr;
            }
        } else if (f != nullptr) {
            // A member kept whole because its type did not fit the field: the
            // field, once set, replaces it.
            written |= 1u << (f - desc.fields.data());
            item = fieldConvert(*f, rec, false, failed);
            if (item == nullptr && !failed) {
                item = cJSON_Duplicate(member, 1);
                failed = item == nullptr;
            }
        } else {
            item = cJSON_Duplicate(member, 1);
            failed = failed || item == nullptr;
        }
        if (failed) {
            return nullptr;
        }
        if (item != nullptr) {
            cJSON_AddItemToObject(out.get(), member->string, item);
        }
    }
    for (size_t i = 0; i < desc.fields.size(); i++) {
        if (written & (1u << i)) {
            continue;
        }
        // A parsed record writes a zero only where its JSON had the member;
        // a built one also where the API requires it.
        bool writeZero = desc.fields[i].required && shape == nullptr;
        cJSON *item = fieldConvert(desc.fields[i], rec, writeZero, failed);
        if (failed) {
            return nullptr;
        }
        if (item != nullptr) {
            cJSON_AddItemToObject(out.get(), desc.fields[i].json, item);
        }
    }
    return out.release();
}

template <typename T>
T *recordAlloc()
{
    return static_cast<T *>(calloc(1, sizeof(T)));
}

// Field table helpers.
#define K_STR(T, m, j)                                                                                                 \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Str, offsetof(T, m), nullptr, false                                                              \
    }
#define K_STR_REQ(T, m, j)                                                                                             \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Str, offsetof(T, m), nullptr, true                                                               \
    }
#define K_INT(T, m, j)                                                                                                 \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Int, offsetof(T, m), nullptr, false                                                              \
    }
#define K_INT_REQ(T, m, j)                                                                                             \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Int, offsetof(T, m), nullptr, true                                                               \
    }
#define K_LONG(T, m, j)                                                                                                \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Long, offsetof(T, m), nullptr, false                                                             \
    }
#define K_BOOL(T, m, j)                                                                                                \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Bool, offsetof(T, m), nullptr, false                                                             \
    }
#define K_BOOL_REQ(T, m, j)                                                                                            \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Bool, offsetof(T, m), nullptr, true                                                              \
    }
#define K_OBJ(T, m, j, d)                                                                                              \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::Obj, offsetof(T, m), &d, false                                                                   \
    }
#define K_OBJS(T, m, j, d)                                                                                             \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::ObjList, offsetof(T, m), &d, false                                                               \
    }
#define K_STRS(T, m, j)                                                                                                \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::StrList, offsetof(T, m), nullptr, false                                                          \
    }
#define K_MAP(T, m, j)                                                                                                 \
    FieldDesc                                                                                                          \
    {                                                                                                                  \
        j, FieldKind::StrMap, offsetof(T, m), nullptr, false                                                           \
    }
#define K_DESC(T, table)                                                                                               \
    ModelDesc                                                                                                          \
    {                                                                                                                  \
        sizeof(T), offsetof(T, _origJson), table                                                                       \
    }

// ---- metadata -------------------------------------------------------------

const FieldDesc ownerReferenceFields[] = {
    K_STR_REQ(v1_owner_reference_t, api_version, "apiVersion"),
    K_BOOL(v1_owner_reference_t, block_owner_deletion, "blockOwnerDeletion"),
    K_BOOL(v1_owner_reference_t, controller, "controller"),
    K_STR_REQ(v1_owner_reference_t, kind, "kind"),
    K_STR_REQ(v1_owner_reference_t, name, "name"),
    K_STR_REQ(v1_owner_reference_t, uid, "uid"),
};
const ModelDesc ownerReferenceDesc = K_DESC(v1_owner_reference_t, ownerReferenceFields);

const FieldDesc objectMetaFields[] = {
    K_MAP(v1_object_meta_t, annotations, "annotations"),
    K_STR(v1_object_meta_t, creation_timestamp, "creationTimestamp"),
    K_LONG(v1_object_meta_t, deletion_grace_period_seconds, "deletionGracePeriodSeconds"),
    K_STR(v1_object_meta_t, deletion_timestamp, "deletionTimestamp"),
    K_STRS(v1_object_meta_t, finalizers, "finalizers"),
    K_STR(v1_object_meta_t, generate_name, "generateName"),
    K_LONG(v1_object_meta_t, generation, "generation"),
    K_MAP(v1_object_meta_t, labels, "labels"),
    K_STR(v1_object_meta_t, name, "name"),
    K_STR(v1_object_meta_t, _namespace, "namespace"),
    K_OBJS(v1_object_meta_t, owner_references, "ownerReferences", ownerReferenceDesc),
    K_STR(v1_object_meta_t, resource_version, "resourceVersion"),
    K_STR(v1_object_meta_t, self_link, "selfLink"),
    K_STR(v1_object_meta_t, uid, "uid"),
};
const ModelDesc objectMetaDesc = K_DESC(v1_object_meta_t, objectMetaFields);

const FieldDesc listMetaFields[] = {
    K_STR(v1_list_meta_t, _continue, "continue"),
    K_LONG(v1_list_meta_t, remaining_item_count, "remainingItemCount"),
    K_STR(v1_list_meta_t, resource_version, "resourceVersion"),
    K_STR(v1_list_meta_t, self_link, "selfLink"),
};
const ModelDesc listMetaDesc = K_DESC(v1_list_meta_t, listMetaFields);

// ---- Node -----------------------------------------------------------------

const FieldDesc nodeAddressFields[] = {
    K_STR_REQ(v1_node_address_t, address, "address"),
    K_STR_REQ(v1_node_address_t, type, "type"),
};
const ModelDesc nodeAddressDesc = K_DESC(v1_node_address_t, nodeAddressFields);

const FieldDesc nodeConditionFields[] = {
    K_STR(v1_node_condition_t, last_heartbeat_time, "lastHeartbeatTime"),
    K_STR(v1_node_condition_t, last_transition_time, "lastTransitionTime"),
    K_STR(v1_node_condition_t, message, "message"),
    K_STR(v1_node_condition_t, reason, "reason"),
    K_STR_REQ(v1_node_condition_t, status, "status"),
    K_STR_REQ(v1_node_condition_t, type, "type"),
};
const ModelDesc nodeConditionDesc = K_DESC(v1_node_condition_t, nodeConditionFields);

const FieldDesc nodeSystemInfoFields[] = {
    K_STR_REQ(v1_node_system_info_t, architecture, "architecture"),
    K_STR_REQ(v1_node_system_info_t, boot_id, "bootID"),
    K_STR_REQ(v1_node_system_info_t, container_runtime_version, "containerRuntimeVersion"),
    K_STR_REQ(v1_node_system_info_t, kernel_version, "kernelVersion"),
    K_STR_REQ(v1_node_system_info_t, kube_proxy_version, "kubeProxyVersion"),
    K_STR_REQ(v1_node_system_info_t, kubelet_version, "kubeletVersion"),
    K_STR_REQ(v1_node_system_info_t, machine_id, "machineID"),
    K_STR_REQ(v1_node_system_info_t, operating_system, "operatingSystem"),
    K_STR_REQ(v1_node_system_info_t, os_image, "osImage"),
    K_STR_REQ(v1_node_system_info_t, system_uuid, "systemUUID"),
};
const ModelDesc nodeSystemInfoDesc = K_DESC(v1_node_system_info_t, nodeSystemInfoFields);

const FieldDesc nodeSpecFields[] = {
    K_STR(v1_node_spec_t, external_id, "externalID"),       K_STR(v1_node_spec_t, pod_cidr, "podCIDR"),
    K_STRS(v1_node_spec_t, pod_cidrs, "podCIDRs"),          K_STR(v1_node_spec_t, provider_id, "providerID"),
    K_BOOL(v1_node_spec_t, unschedulable, "unschedulable"),
};
const ModelDesc nodeSpecDesc = K_DESC(v1_node_spec_t, nodeSpecFields);

const FieldDesc nodeStatusFields[] = {
    K_OBJS(v1_node_status_t, addresses, "addresses", nodeAddressDesc),
    K_MAP(v1_node_status_t, allocatable, "allocatable"),
    K_MAP(v1_node_status_t, capacity, "capacity"),
    K_OBJS(v1_node_status_t, conditions, "conditions", nodeConditionDesc),
    K_OBJ(v1_node_status_t, node_info, "nodeInfo", nodeSystemInfoDesc),
    K_STR(v1_node_status_t, phase, "phase"),
    K_STRS(v1_node_status_t, volumes_in_use, "volumesInUse"),
};
const ModelDesc nodeStatusDesc = K_DESC(v1_node_status_t, nodeStatusFields);

const FieldDesc nodeFields[] = {
    K_STR(v1_node_t, api_version, "apiVersion"),
    K_STR(v1_node_t, kind, "kind"),
    K_OBJ(v1_node_t, metadata, "metadata", objectMetaDesc),
    K_OBJ(v1_node_t, spec, "spec", nodeSpecDesc),
    K_OBJ(v1_node_t, status, "status", nodeStatusDesc),
};
const ModelDesc nodeDesc = K_DESC(v1_node_t, nodeFields);

// ---- Lease ----------------------------------------------------------------

const FieldDesc leaseSpecFields[] = {
    K_STR(v1_lease_spec_t, acquire_time, "acquireTime"),
    K_STR(v1_lease_spec_t, holder_identity, "holderIdentity"),
    K_INT(v1_lease_spec_t, lease_duration_seconds, "leaseDurationSeconds"),
    K_INT(v1_lease_spec_t, lease_transitions, "leaseTransitions"),
    K_STR(v1_lease_spec_t, renew_time, "renewTime"),
};
const ModelDesc leaseSpecDesc = K_DESC(v1_lease_spec_t, leaseSpecFields);

const FieldDesc leaseFields[] = {
    K_STR(v1_lease_t, api_version, "apiVersion"),
    K_STR(v1_lease_t, kind, "kind"),
    K_OBJ(v1_lease_t, metadata, "metadata", objectMetaDesc),
    K_OBJ(v1_lease_t, spec, "spec", leaseSpecDesc),
};
const ModelDesc leaseDesc = K_DESC(v1_lease_t, leaseFields);

// ---- Pod ------------------------------------------------------------------

const FieldDesc localObjectReferenceFields[] = {
    K_STR(v1_local_object_reference_t, name, "name"),
};
const ModelDesc localObjectReferenceDesc = K_DESC(v1_local_object_reference_t, localObjectReferenceFields);

const FieldDesc objectFieldSelectorFields[] = {
    K_STR(v1_object_field_selector_t, api_version, "apiVersion"),
    K_STR_REQ(v1_object_field_selector_t, field_path, "fieldPath"),
};
const ModelDesc objectFieldSelectorDesc = K_DESC(v1_object_field_selector_t, objectFieldSelectorFields);

const FieldDesc configMapKeySelectorFields[] = {
    K_STR_REQ(v1_config_map_key_selector_t, key, "key"),
    K_STR(v1_config_map_key_selector_t, name, "name"),
    K_BOOL(v1_config_map_key_selector_t, optional, "optional"),
};
const ModelDesc configMapKeySelectorDesc = K_DESC(v1_config_map_key_selector_t, configMapKeySelectorFields);

const FieldDesc secretKeySelectorFields[] = {
    K_STR_REQ(v1_secret_key_selector_t, key, "key"),
    K_STR(v1_secret_key_selector_t, name, "name"),
    K_BOOL(v1_secret_key_selector_t, optional, "optional"),
};
const ModelDesc secretKeySelectorDesc = K_DESC(v1_secret_key_selector_t, secretKeySelectorFields);

const FieldDesc envVarSourceFields[] = {
    K_OBJ(v1_env_var_source_t, config_map_key_ref, "configMapKeyRef", configMapKeySelectorDesc),
    K_OBJ(v1_env_var_source_t, field_ref, "fieldRef", objectFieldSelectorDesc),
    K_OBJ(v1_env_var_source_t, secret_key_ref, "secretKeyRef", secretKeySelectorDesc),
};
const ModelDesc envVarSourceDesc = K_DESC(v1_env_var_source_t, envVarSourceFields);

const FieldDesc envVarFields[] = {
    K_STR_REQ(v1_env_var_t, name, "name"),
    K_STR(v1_env_var_t, value, "value"),
    K_OBJ(v1_env_var_t, value_from, "valueFrom", envVarSourceDesc),
};
const ModelDesc envVarDesc = K_DESC(v1_env_var_t, envVarFields);

const FieldDesc containerFields[] = {
    K_STRS(v1_container_t, args, "args"),
    K_STRS(v1_container_t, command, "command"),
    K_OBJS(v1_container_t, env, "env", envVarDesc),
    K_STR(v1_container_t, image, "image"),
    K_STR(v1_container_t, image_pull_policy, "imagePullPolicy"),
    K_STR_REQ(v1_container_t, name, "name"),
    K_STR(v1_container_t, working_dir, "workingDir"),
};
const ModelDesc containerDesc = K_DESC(v1_container_t, containerFields);

const FieldDesc podSpecFields[] = {
    K_OBJS(v1_pod_spec_t, containers, "containers", containerDesc),
    K_OBJS(v1_pod_spec_t, image_pull_secrets, "imagePullSecrets", localObjectReferenceDesc),
    K_STR(v1_pod_spec_t, node_name, "nodeName"),
    K_STR(v1_pod_spec_t, restart_policy, "restartPolicy"),
};
const ModelDesc podSpecDesc = K_DESC(v1_pod_spec_t, podSpecFields);

const FieldDesc stateRunningFields[] = {
    K_STR(v1_container_state_running_t, started_at, "startedAt"),
};
const ModelDesc stateRunningDesc = K_DESC(v1_container_state_running_t, stateRunningFields);

const FieldDesc stateTerminatedFields[] = {
    K_STR(v1_container_state_terminated_t, container_id, "containerID"),
    K_INT_REQ(v1_container_state_terminated_t, exit_code, "exitCode"),
    K_STR(v1_container_state_terminated_t, finished_at, "finishedAt"),
    K_STR(v1_container_state_terminated_t, message, "message"),
    K_STR(v1_container_state_terminated_t, reason, "reason"),
    K_INT(v1_container_state_terminated_t, signal, "signal"),
    K_STR(v1_container_state_terminated_t, started_at, "startedAt"),
};
const ModelDesc stateTerminatedDesc = K_DESC(v1_container_state_terminated_t, stateTerminatedFields);

const FieldDesc stateWaitingFields[] = {
    K_STR(v1_container_state_waiting_t, message, "message"),
    K_STR(v1_container_state_waiting_t, reason, "reason"),
};
const ModelDesc stateWaitingDesc = K_DESC(v1_container_state_waiting_t, stateWaitingFields);

const FieldDesc containerStateFields[] = {
    K_OBJ(v1_container_state_t, running, "running", stateRunningDesc),
    K_OBJ(v1_container_state_t, terminated, "terminated", stateTerminatedDesc),
    K_OBJ(v1_container_state_t, waiting, "waiting", stateWaitingDesc),
};
const ModelDesc containerStateDesc = K_DESC(v1_container_state_t, containerStateFields);

const FieldDesc containerStatusFields[] = {
    K_STR(v1_container_status_t, container_id, "containerID"),
    K_STR_REQ(v1_container_status_t, image, "image"),
    K_STR_REQ(v1_container_status_t, image_id, "imageID"),
    K_OBJ(v1_container_status_t, last_state, "lastState", containerStateDesc),
    K_STR_REQ(v1_container_status_t, name, "name"),
    K_BOOL_REQ(v1_container_status_t, ready, "ready"),
    K_INT_REQ(v1_container_status_t, restart_count, "restartCount"),
    K_BOOL(v1_container_status_t, started, "started"),
    K_OBJ(v1_container_status_t, state, "state", containerStateDesc),
};
const ModelDesc containerStatusDesc = K_DESC(v1_container_status_t, containerStatusFields);

const FieldDesc podConditionFields[] = {
    K_STR(v1_pod_condition_t, last_probe_time, "lastProbeTime"),
    K_STR(v1_pod_condition_t, last_transition_time, "lastTransitionTime"),
    K_STR(v1_pod_condition_t, message, "message"),
    K_STR(v1_pod_condition_t, reason, "reason"),
    K_STR_REQ(v1_pod_condition_t, status, "status"),
    K_STR_REQ(v1_pod_condition_t, type, "type"),
};
const ModelDesc podConditionDesc = K_DESC(v1_pod_condition_t, podConditionFields);

const FieldDesc podIpFields[] = {
    K_STR(v1_pod_ip_t, ip, "ip"),
};
const ModelDesc podIpDesc = K_DESC(v1_pod_ip_t, podIpFields);

const FieldDesc podStatusFields[] = {
    K_OBJS(v1_pod_status_t, conditions, "conditions", podConditionDesc),
    K_OBJS(v1_pod_status_t, container_statuses, "containerStatuses", containerStatusDesc),
    K_OBJS(v1_pod_status_t, ephemeral_container_statuses, "ephemeralContainerStatuses", containerStatusDesc),
    K_STR(v1_pod_status_t, host_ip, "hostIP"),
    K_OBJS(v1_pod_status_t, init_container_statuses, "initContainerStatuses", containerStatusDesc),
    K_STR(v1_pod_status_t, message, "message"),
    K_STR(v1_pod_status_t, nominated_node_name, "nominatedNodeName"),
    K_STR(v1_pod_status_t, phase, "phase"),
    K_STR(v1_pod_status_t, pod_ip, "podIP"),
    K_OBJS(v1_pod_status_t, pod_ips, "podIPs", podIpDesc),
    K_STR(v1_pod_status_t, qos_class, "qosClass"),
    K_STR(v1_pod_status_t, reason, "reason"),
    K_STR(v1_pod_status_t, start_time, "startTime"),
};
const ModelDesc podStatusDesc = K_DESC(v1_pod_status_t, podStatusFields);

const FieldDesc podFields[] = {
    K_STR(v1_pod_t, api_version, "apiVersion"),
    K_STR(v1_pod_t, kind, "kind"),
    K_OBJ(v1_pod_t, metadata, "metadata", objectMetaDesc),
    K_OBJ(v1_pod_t, spec, "spec", podSpecDesc),
    K_OBJ(v1_pod_t, status, "status", podStatusDesc),
};
const ModelDesc podDesc = K_DESC(v1_pod_t, podFields);

const FieldDesc podListFields[] = {
    K_STR(v1_pod_list_t, api_version, "apiVersion"),
    K_OBJS(v1_pod_list_t, items, "items", podDesc),
    K_STR(v1_pod_list_t, kind, "kind"),
    K_OBJ(v1_pod_list_t, metadata, "metadata", listMetaDesc),
};
const ModelDesc podListDesc = K_DESC(v1_pod_list_t, podListFields);

// ---- Secret, Status, deletion ---------------------------------------------

const FieldDesc secretFields[] = {
    K_STR(v1_secret_t, api_version, "apiVersion"),
    K_MAP(v1_secret_t, data, "data"),
    K_BOOL(v1_secret_t, immutable, "immutable"),
    K_STR(v1_secret_t, kind, "kind"),
    K_OBJ(v1_secret_t, metadata, "metadata", objectMetaDesc),
    K_MAP(v1_secret_t, string_data, "stringData"),
    K_STR(v1_secret_t, type, "type"),
};
const ModelDesc secretDesc = K_DESC(v1_secret_t, secretFields);

const FieldDesc configMapFields[] = {
    K_STR(v1_config_map_t, api_version, "apiVersion"),
    K_MAP(v1_config_map_t, binary_data, "binaryData"),
    K_MAP(v1_config_map_t, data, "data"),
    K_BOOL(v1_config_map_t, immutable, "immutable"),
    K_STR(v1_config_map_t, kind, "kind"),
    K_OBJ(v1_config_map_t, metadata, "metadata", objectMetaDesc),
};
const ModelDesc configMapDesc = K_DESC(v1_config_map_t, configMapFields);

const FieldDesc statusFields[] = {
    K_STR(v1_status_t, api_version, "apiVersion"),
    K_INT(v1_status_t, code, "code"),
    K_STR(v1_status_t, kind, "kind"),
    K_STR(v1_status_t, message, "message"),
    K_OBJ(v1_status_t, metadata, "metadata", listMetaDesc),
    K_STR(v1_status_t, reason, "reason"),
    K_STR(v1_status_t, status, "status"),
};
const ModelDesc statusDesc = K_DESC(v1_status_t, statusFields);

const FieldDesc preconditionsFields[] = {
    K_STR(v1_preconditions_t, resource_version, "resourceVersion"),
    K_STR(v1_preconditions_t, uid, "uid"),
};
const ModelDesc preconditionsDesc = K_DESC(v1_preconditions_t, preconditionsFields);

const FieldDesc deleteOptionsFields[] = {
    K_STR(v1_delete_options_t, api_version, "apiVersion"),
    K_STRS(v1_delete_options_t, dry_run, "dryRun"),
    K_LONG(v1_delete_options_t, grace_period_seconds, "gracePeriodSeconds"),
    K_STR(v1_delete_options_t, kind, "kind"),
    K_BOOL(v1_delete_options_t, orphan_dependents, "orphanDependents"),
    K_OBJ(v1_delete_options_t, preconditions, "preconditions", preconditionsDesc),
    K_STR(v1_delete_options_t, propagation_policy, "propagationPolicy"),
};
const ModelDesc deleteOptionsDesc = K_DESC(v1_delete_options_t, deleteOptionsFields);

// An error answer: a Status object, whatever kind was asked for.
bool isStatusAnswer(const cJSON *json)
{
    const cJSON *kind = cJSON_GetObjectItemCaseSensitive(json, "kind");
    return cJSON_IsString(kind) && strcmp(kind->valuestring, "Status") == 0;
}

} // namespace

// The three table-driven functions of every record.
#define KUBE_MODEL_DEFINE(T, desc)                                                                                     \
    extern "C" void T##_free(T##_t *rec)                                                                               \
    {                                                                                                                  \
        modelFree(desc, rec);                                                                                          \
    }                                                                                                                  \
    extern "C" T##_t *T##_parseFromJSON(cJSON *json)                                                                   \
    {                                                                                                                  \
        return static_cast<T##_t *>(modelParse(desc, json, isStatusAnswer(json)));                                     \
    }                                                                                                                  \
    extern "C" cJSON *T##_convertToJSON(T##_t *rec)                                                                    \
    {                                                                                                                  \
        return modelConvert(desc, rec);                                                                                \
    }

KUBE_MODEL_DEFINE(v1_owner_reference, ownerReferenceDesc)
KUBE_MODEL_DEFINE(v1_object_meta, objectMetaDesc)
KUBE_MODEL_DEFINE(v1_list_meta, listMetaDesc)
KUBE_MODEL_DEFINE(v1_node_address, nodeAddressDesc)
KUBE_MODEL_DEFINE(v1_node_condition, nodeConditionDesc)
KUBE_MODEL_DEFINE(v1_node_system_info, nodeSystemInfoDesc)
KUBE_MODEL_DEFINE(v1_node_spec, nodeSpecDesc)
KUBE_MODEL_DEFINE(v1_node_status, nodeStatusDesc)
KUBE_MODEL_DEFINE(v1_node, nodeDesc)
KUBE_MODEL_DEFINE(v1_lease_spec, leaseSpecDesc)
KUBE_MODEL_DEFINE(v1_lease, leaseDesc)
KUBE_MODEL_DEFINE(v1_local_object_reference, localObjectReferenceDesc)
KUBE_MODEL_DEFINE(v1_object_field_selector, objectFieldSelectorDesc)
KUBE_MODEL_DEFINE(v1_config_map_key_selector, configMapKeySelectorDesc)
KUBE_MODEL_DEFINE(v1_secret_key_selector, secretKeySelectorDesc)
KUBE_MODEL_DEFINE(v1_env_var_source, envVarSourceDesc)
KUBE_MODEL_DEFINE(v1_env_var, envVarDesc)
KUBE_MODEL_DEFINE(v1_container, containerDesc)
KUBE_MODEL_DEFINE(v1_pod_spec, podSpecDesc)
KUBE_MODEL_DEFINE(v1_container_state_running, stateRunningDesc)
KUBE_MODEL_DEFINE(v1_container_state_terminated, stateTerminatedDesc)
KUBE_MODEL_DEFINE(v1_container_state_waiting, stateWaitingDesc)
KUBE_MODEL_DEFINE(v1_container_state, containerStateDesc)
KUBE_MODEL_DEFINE(v1_container_status, containerStatusDesc)
KUBE_MODEL_DEFINE(v1_pod_condition, podConditionDesc)
KUBE_MODEL_DEFINE(v1_pod_ip, podIpDesc)
KUBE_MODEL_DEFINE(v1_pod_status, podStatusDesc)
KUBE_MODEL_DEFINE(v1_pod, podDesc)
KUBE_MODEL_DEFINE(v1_pod_list, podListDesc)
KUBE_MODEL_DEFINE(v1_secret, secretDesc)
KUBE_MODEL_DEFINE(v1_config_map, configMapDesc)
KUBE_MODEL_DEFINE(v1_status, statusDesc)
KUBE_MODEL_DEFINE(v1_preconditions, preconditionsDesc)
KUBE_MODEL_DEFINE(v1_delete_options, deleteOptionsDesc)

// ---- constructors ---------------------------------------------------------
// Each takes ownership of what it is given. Members the node agent never
// builds (managed fields, taints, images, ...) are not stored: callers pass
// null for them.

extern "C" v1_owner_reference_t *v1_owner_reference_create(char *api_version, int block_owner_deletion, int controller,
                                                           char *kind, char *name, char *uid)
{
    auto *r = recordAlloc<v1_owner_reference_t>();
    if (r != nullptr) {
        *r = {api_version, block_owner_deletion, controller, kind, name, uid, nullptr};
    }
    return r;
}

extern "C" v1_object_meta_t *v1_object_meta_create(list_t *annotations, char *creation_timestamp,
                                                   long deletion_grace_period_seconds, char *deletion_timestamp,
                                                   list_t *finalizers, char *generate_name, long generation,
                                                   list_t *labels, list_t * /*managed_fields*/, char *name,
                                                   char *_namespace, list_t *owner_references, char *resource_version,
                                                   char *self_link, char *uid)
{
    auto *r = recordAlloc<v1_object_meta_t>();
    if (r != nullptr) {
        *r = {annotations,
              creation_timestamp,
              deletion_grace_period_seconds,
              deletion_timestamp,
              finalizers,
              generate_name,
              generation,
              labels,
              nullptr,
              name,
              _namespace,
              owner_references,
              resource_version,
              self_link,
              uid,
              nullptr};
    }
    return r;
}

extern "C" v1_list_meta_t *v1_list_meta_create(char *_continue, long remaining_item_count, char *resource_version,
                                               char *self_link)
{
    auto *r = recordAlloc<v1_list_meta_t>();
    if (r != nullptr) {
        *r = {_continue, remaining_item_count, resource_version, self_link, nullptr};
    }
    return r;
}

extern "C" v1_node_address_t *v1_node_address_create(char *address, char *type)
{
    auto *r = recordAlloc<v1_node_address_t>();
    if (r != nullptr) {
        *r = {address, type, nullptr};
    }
    return r;
}

extern "C" v1_node_condition_t *v1_node_condition_create(char *last_heartbeat_time, char *last_transition_time,
                                                         char *message, char *reason, char *status, char *type)
{
    auto *r = recordAlloc<v1_node_condition_t>();
    if (r != nullptr) {
        *r = {last_heartbeat_time, last_transition_time, message, reason, status, type, nullptr};
    }
    return r;
}

extern "C" v1_node_system_info_t *v1_node_system_info_create(char *architecture, char *boot_id,
                                                             char *container_runtime_version, char *kernel_version,
                                                             char *kube_proxy_version, char *kubelet_version,
                                                             char *machine_id, char *operating_system, char *os_image,
                                                             char *system_uuid)
{
    auto *r = recordAlloc<v1_node_system_info_t>();
    if (r != nullptr) {
        *r = {architecture,    boot_id,    container_runtime_version, kernel_version, kube_proxy_version,
              kubelet_version, machine_id, operating_system,          os_image,       system_uuid,
              nullptr};
    }
    return r;
}

extern "C" v1_node_spec_t *v1_node_spec_create(v1_node_config_source_t * /*config_source*/, char *external_id,
                                               char *pod_cidr, list_t *pod_cidrs, char *provider_id,
                                               list_t * /*taints*/, int unschedulable)
{
    auto *r = recordAlloc<v1_node_spec_t>();
    if (r != nullptr) {
        *r = {nullptr, external_id, pod_cidr, pod_cidrs, provider_id, nullptr, unschedulable, nullptr};
    }
    return r;
}

extern "C" v1_node_status_t *v1_node_status_create(list_t *addresses, list_t *allocatable, list_t *capacity,
                                                   list_t *conditions, v1_node_config_status_t * /*config*/,
                                                   v1_node_daemon_endpoints_t * /*daemon_endpoints*/,
                                                   list_t * /*images*/, v1_node_system_info_t *node_info, char *phase,
                                                   list_t * /*volumes_attached*/, list_t *volumes_in_use)
{
    auto *r = recordAlloc<v1_node_status_t>();
    if (r != nullptr) {
        *r = {addresses, allocatable, capacity, conditions, nullptr,        nullptr,
              nullptr,   node_info,   phase,    nullptr,    volumes_in_use, nullptr};
    }
    return r;
}

extern "C" v1_node_t *v1_node_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_node_spec_t *spec,
                                     v1_node_status_t *status)
{
    auto *r = recordAlloc<v1_node_t>();
    if (r != nullptr) {
        *r = {api_version, kind, metadata, spec, status, nullptr};
    }
    return r;
}

extern "C" v1_lease_spec_t *v1_lease_spec_create(char *acquire_time, char *holder_identity, int lease_duration_seconds,
                                                 int lease_transitions, char *renew_time)
{
    auto *r = recordAlloc<v1_lease_spec_t>();
    if (r != nullptr) {
        *r = {acquire_time, holder_identity, lease_duration_seconds, lease_transitions, renew_time, nullptr};
    }
    return r;
}

extern "C" v1_lease_t *v1_lease_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_lease_spec_t *spec)
{
    auto *r = recordAlloc<v1_lease_t>();
    if (r != nullptr) {
        *r = {api_version, kind, metadata, spec, nullptr};
    }
    return r;
}

extern "C" v1_local_object_reference_t *v1_local_object_reference_create(char *name)
{
    auto *r = recordAlloc<v1_local_object_reference_t>();
    if (r != nullptr) {
        *r = {name, nullptr};
    }
    return r;
}

extern "C" v1_object_field_selector_t *v1_object_field_selector_create(char *api_version, char *field_path)
{
    auto *r = recordAlloc<v1_object_field_selector_t>();
    if (r != nullptr) {
        *r = {api_version, field_path, nullptr};
    }
    return r;
}

extern "C" v1_config_map_key_selector_t *v1_config_map_key_selector_create(char *key, char *name, int optional)
{
    auto *r = recordAlloc<v1_config_map_key_selector_t>();
    if (r != nullptr) {
        *r = {key, name, optional, nullptr};
    }
    return r;
}

extern "C" v1_secret_key_selector_t *v1_secret_key_selector_create(char *key, char *name, int optional)
{
    auto *r = recordAlloc<v1_secret_key_selector_t>();
    if (r != nullptr) {
        *r = {key, name, optional, nullptr};
    }
    return r;
}

extern "C" v1_env_var_source_t *v1_env_var_source_create(v1_config_map_key_selector_t *config_map_key_ref,
                                                         v1_object_field_selector_t *field_ref,
                                                         v1_secret_key_selector_t *secret_key_ref)
{
    auto *r = recordAlloc<v1_env_var_source_t>();
    if (r != nullptr) {
        *r = {config_map_key_ref, field_ref, secret_key_ref, nullptr};
    }
    return r;
}

extern "C" v1_env_var_t *v1_env_var_create(char *name, char *value, v1_env_var_source_t *value_from)
{
    auto *r = recordAlloc<v1_env_var_t>();
    if (r != nullptr) {
        *r = {name, value, value_from, nullptr};
    }
    return r;
}

extern "C" v1_container_t *v1_container_create(char *image, char *image_pull_policy, char *name)
{
    auto *r = recordAlloc<v1_container_t>();
    if (r != nullptr) {
        *r = {nullptr, nullptr, nullptr, image, image_pull_policy, name, nullptr, nullptr};
    }
    return r;
}

extern "C" v1_pod_spec_t *v1_pod_spec_create(list_t *containers, list_t *image_pull_secrets, char *node_name)
{
    auto *r = recordAlloc<v1_pod_spec_t>();
    if (r != nullptr) {
        *r = {containers, image_pull_secrets, node_name, nullptr, nullptr};
    }
    return r;
}

extern "C" v1_container_state_running_t *v1_container_state_running_create(char *started_at)
{
    auto *r = recordAlloc<v1_container_state_running_t>();
    if (r != nullptr) {
        *r = {started_at, nullptr};
    }
    return r;
}

extern "C" v1_container_state_terminated_t *v1_container_state_terminated_create(char *container_id, int exit_code,
                                                                                 char *finished_at, char *message,
                                                                                 char *reason, int signal,
                                                                                 char *started_at)
{
    auto *r = recordAlloc<v1_container_state_terminated_t>();
    if (r != nullptr) {
        *r = {container_id, exit_code, finished_at, message, reason, signal, started_at, nullptr};
    }
    return r;
}

extern "C" v1_container_state_waiting_t *v1_container_state_waiting_create(char *message, char *reason)
{
    auto *r = recordAlloc<v1_container_state_waiting_t>();
    if (r != nullptr) {
        *r = {message, reason, nullptr};
    }
    return r;
}

extern "C" v1_container_state_t *v1_container_state_create(v1_container_state_running_t *running,
                                                           v1_container_state_terminated_t *terminated,
                                                           v1_container_state_waiting_t *waiting)
{
    auto *r = recordAlloc<v1_container_state_t>();
    if (r != nullptr) {
        *r = {running, terminated, waiting, nullptr};
    }
    return r;
}

extern "C" v1_container_status_t *v1_container_status_create(char *container_id, char *image, char *image_id,
                                                             v1_container_state_t *last_state, char *name, int ready,
                                                             int restart_count, int started,
                                                             v1_container_state_t *state)
{
    auto *r = recordAlloc<v1_container_status_t>();
    if (r != nullptr) {
        *r = {container_id, image, image_id, last_state, name, ready, restart_count, started, state, nullptr};
    }
    return r;
}

extern "C" v1_pod_condition_t *v1_pod_condition_create(char *last_probe_time, char *last_transition_time, char *message,
                                                       char *reason, char *status, char *type)
{
    auto *r = recordAlloc<v1_pod_condition_t>();
    if (r != nullptr) {
        *r = {last_probe_time, last_transition_time, message, reason, status, type, nullptr};
    }
    return r;
}

extern "C" v1_pod_ip_t *v1_pod_ip_create(char *ip)
{
    auto *r = recordAlloc<v1_pod_ip_t>();
    if (r != nullptr) {
        *r = {ip, nullptr};
    }
    return r;
}

extern "C" v1_pod_status_t *v1_pod_status_create(list_t *conditions, list_t *container_statuses,
                                                 list_t *ephemeral_container_statuses, char *host_ip,
                                                 list_t *init_container_statuses, char *message,
                                                 char *nominated_node_name, char *phase, char *pod_ip, list_t *pod_ips,
                                                 char *qos_class, char *reason, char *start_time)
{
    auto *r = recordAlloc<v1_pod_status_t>();
    if (r != nullptr) {
        *r = {conditions,
              container_statuses,
              ephemeral_container_statuses,
              host_ip,
              init_container_statuses,
              message,
              nominated_node_name,
              phase,
              pod_ip,
              pod_ips,
              qos_class,
              reason,
              start_time,
              nullptr};
    }
    return r;
}

extern "C" v1_pod_t *v1_pod_create(char *api_version, char *kind, v1_object_meta_t *metadata, v1_pod_spec_t *spec,
                                   v1_pod_status_t *status)
{
    auto *r = recordAlloc<v1_pod_t>();
    if (r != nullptr) {
        *r = {api_version, kind, metadata, spec, status, nullptr};
    }
    return r;
}

extern "C" v1_pod_list_t *v1_pod_list_create(char *api_version, list_t *items, char *kind, v1_list_meta_t *metadata)
{
    auto *r = recordAlloc<v1_pod_list_t>();
    if (r != nullptr) {
        *r = {api_version, items, kind, metadata, nullptr};
    }
    return r;
}

extern "C" v1_secret_t *v1_secret_create(char *api_version, list_t *data, int immutable, char *kind,
                                         v1_object_meta_t *metadata, list_t *string_data, char *type)
{
    auto *r = recordAlloc<v1_secret_t>();
    if (r != nullptr) {
        *r = {api_version, data, immutable, kind, metadata, string_data, type, nullptr};
    }
    return r;
}

extern "C" v1_config_map_t *v1_config_map_create(char *api_version, list_t *binary_data, list_t *data, int immutable,
                                                 char *kind, v1_object_meta_t *metadata)
{
    auto *r = recordAlloc<v1_config_map_t>();
    if (r != nullptr) {
        *r = {api_version, binary_data, data, immutable, kind, metadata, nullptr};
    }
    return r;
}

extern "C" v1_status_t *v1_status_create(char *api_version, int code, v1_status_details_t * /*details*/, char *kind,
                                         char *message, v1_list_meta_t *metadata, char *reason, char *status)
{
    auto *r = recordAlloc<v1_status_t>();
    if (r != nullptr) {
        *r = {api_version, code, nullptr, kind, message, metadata, reason, status, nullptr};
    }
    return r;
}

extern "C" v1_preconditions_t *v1_preconditions_create(char *resource_version, char *uid)
{
    auto *r = recordAlloc<v1_preconditions_t>();
    if (r != nullptr) {
        *r = {resource_version, uid, nullptr};
    }
    return r;
}

extern "C" v1_delete_options_t *v1_delete_options_create(char *api_version, list_t *dry_run, long grace_period_seconds,
                                                         char *kind, int orphan_dependents,
                                                         v1_preconditions_t *preconditions, char *propagation_policy)
{
    auto *r = recordAlloc<v1_delete_options_t>();
    if (r != nullptr) {
        *r = {api_version,       dry_run,       grace_period_seconds, kind,
              orphan_dependents, preconditions, propagation_policy,   nullptr};
    }
    return r;
}
