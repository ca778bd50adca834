/*
 * ozcRuntimeCSLib.cpp - parameter descriptors of requests and replies: a
 * descriptor array becomes a JSON object and a JSON object fills a
 * descriptor array, plus small JSON helpers shared by client and daemon.
 */
#include "ozcRuntimeCSLib.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ozJson.h"
#include "ozcUtilInternal.h"

using ozc::failNull;
using ozc::failWith;

extern "C" {

cJSON *ozcConfigToArray(char **argument)
{
    cJSON *arr = cJSON_CreateArray();
    if (arr == nullptr)
        return nullptr;
    for (int i = 0; argument != nullptr && argument[i] != nullptr; i++) {
        cJSON *s = cJSON_CreateString(argument[i]);
        if (s == nullptr) {
            cJSON_Delete(arr);
            return nullptr;
        }
        cJSON_AddItemToArray(arr, s);
    }
    return arr;
}

cJSON *ozcParamObjInit(struct ozcParam *param, int count)
{
    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) {
        return failNull(ENOMEM);
    }
    for (int i = 0; param != nullptr && i < count; i++) {
        const ozcParam &p = param[i];
        int err = 0;
        switch (p.type) {
        case INTEGER: {
            cJSON *n = cJSON_CreateNumber((double)(int64_t)p.value);
            if (n == nullptr || !cJSON_AddItemToObject(obj, p.name, n)) {
                cJSON_Delete(n);
                err = ENOMEM;
            }
            break;
        }
        case STRING: {
            const char *s = OZC_DATA_STR(p.value);
            if (cJSON_AddStringToObject(obj, p.name, s != nullptr ? s : "") == nullptr)
                err = ENOMEM;
            break;
        }
        case STRING_ARRAY: {
            char **arr = OZC_DATA_ARR(p.value);
            if (arr == nullptr || p.number <= 0)
                break;
            cJSON *a = cJSON_CreateStringArray(const_cast<const char *const *>(arr), p.number);
            if (a == nullptr)
                err = ENOMEM;
            else if (!cJSON_AddItemToObject(obj, p.name, a)) {
                cJSON_Delete(a);
                err = EINVAL;
            }
            break;
        }
        case OBJECT: {
            cJSON *item = OZC_DATA_JSON(p.value);
            if (item == nullptr || !cJSON_AddItemReferenceToObject(obj, p.name, item))
                err = EINVAL;
            break;
        }
        default:
            err = EINVAL;
        }
        if (err != 0) {
            cJSON_Delete(obj);
            return failNull(err);
        }
    }
    return obj;
}

STATUS ozcParamObjDestroy(struct ozcParam *param, unsigned count)
{
    if (param == nullptr)
        return ERROR;
    for (unsigned i = 0; i < count; i++) {
        if (param[i].type == STRING_ARRAY && param[i].value != 0) {
            free(OZC_DATA_ARR(param[i].value));
            param[i].value = 0;
            param[i].number = 0;
        }
    }
    return OK;
}

STATUS ozcParamObjGet(cJSON *pData, struct ozcParam *param, unsigned count)
{
    if (pData == nullptr || param == nullptr || count == 0) {
        return failWith(EINVAL);
    }
    for (unsigned i = 0; i < count; i++) {
        ozcParam &p = param[i];
        cJSON *item = cJSON_GetObjectItem(pData, p.name);
        if (item == nullptr)
            continue; /* the caller's default stays */
        bool ok = true;
        switch (p.type) {
        case INTEGER:
            /* A member of another type counts as absent: the default stays. */
            if (cJSON_IsNumber(item))
                p.value = (ozcData)cJSON_integer64_value(item);
            break;
        case OBJECT:
            p.value = OZC_DATA_PTR(item);
            break;
        case STRING:
            ok = cJSON_IsString(item) && item->valuestring != nullptr;
            if (ok)
                p.value = OZC_DATA_PTR(item->valuestring);
            break;
        case STRING_ARRAY: {
            int n = cJSON_IsArray(item) ? cJSON_GetArraySize(item) : -1;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            auto **arr = static_cast<char **>(calloc((size_t)n + 1, sizeof(char *)));
            if (arr == nullptr) {
                errno = ENOMEM;
                ok = false;
                break;
            }
            for (int k = 0; k < n && ok; k++) {
                cJSON *e = cJSON_GetArrayItem(item, k);
                ok = cJSON_IsString(e) && e->valuestring != nullptr;
                if (ok)
                    arr[k] = e->valuestring;
            }
            if (!ok) {
                free(arr);
                errno = EINVAL;
                break;
            }
            p.value = OZC_DATA_PTR(arr);
            p.number = n;
            break;
        }
        default:
            ok = false;
        }
        if (!ok) {
            int saved = errno ? errno : EINVAL;
            ozcParamObjDestroy(param, i);
            errno = saved;
            return ERROR;
        }
    }
    return OK;
}

ozcData ozcParamValueGetByName(struct ozcParam *param, int count, const char *name)
{
    if (param == nullptr || name == nullptr)
        return 0;
    size_t len = strlen(name);
    for (int i = 0; i < count; i++)
        if (param[i].name != nullptr && strncmp(param[i].name, name, len) == 0)
            return param[i].value;
    return 0;
}

void ozcJsonCopy(cJSON *srcObj, char *srcName, cJSON *dstObj, char *dstName)
{
    if (dstObj == nullptr || dstName == nullptr)
        return;
    cJSON *item = srcObj != nullptr && srcName != nullptr ? cJSON_GetObjectItem(srcObj, srcName) : nullptr;
    cJSON *copy = item != nullptr ? cJSON_Duplicate(item, 1) : cJSON_CreateString("");
    if (copy != nullptr)
        cJSON_AddItemToObject(dstObj, dstName, copy);
}

STATUS ozcResponseCheck(cJSON *root, int *errCode, cJSON **body)
{
    if (errCode != nullptr)
        *errCode = EINVAL;
    if (body != nullptr)
        *body = nullptr;
    if (!cJSON_IsObject(root))
        return ERROR;
    cJSON *e = cJSON_GetObjectItem(root, "errno");
    int code = -1;
    if (e != nullptr) {
        if (!cJSON_IsNumber(e))
            return ERROR;
        code = (int)cJSON_integer64_value(e);
    }
    if (errCode != nullptr)
        *errCode = code;
    if (body != nullptr)
        *body = cJSON_GetObjectItem(root, "body");
    return code == 0 ? OK : ERROR;
}

const char *ozcDaemonQueueName(void)
{
    static thread_local char name[64];
    if (ozEnvGet("OZC_DAEMON_QUEUE", name, sizeof(name)) == OK && name[0] == '/' && name[1] != '\0' &&
        strchr(name + 1, '/') == nullptr)
        return name;
    return OZC_DAEMON_Q_NAME;
}

} /* extern "C" */
