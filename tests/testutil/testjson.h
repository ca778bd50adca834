/*
 * testjson.h - JSON helpers of the tests: parse a text into an owned tree,
 * reach a member by a dotted path, read a member as text.
 */
#ifndef OZ_TESTS_TESTJSON_H
#define OZ_TESTS_TESTJSON_H

#include <cstdlib>
#include <string>

#include <cjson/cJSON.h>

#include "ozOwners.h"

namespace oztest {

using oz::JsonPtr;

/* The tree of `text`; null when it is not JSON. */
inline JsonPtr parseJson(const std::string &text)
{
    return JsonPtr(cJSON_Parse(text.c_str()));
}

/* The member at a dotted path ("status.phase"); array elements by number
 * ("status.conditions.0.type"); null when absent. */
inline const cJSON *at(const cJSON *json, const std::string &path)
{
    size_t start = 0;
    while (json != nullptr && start <= path.size()) {
        size_t dot = path.find('.', start);
        std::string key = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        json = cJSON_IsArray(json) ? cJSON_GetArrayItem(json, std::atoi(key.c_str()))
                                   : cJSON_GetObjectItemCaseSensitive(json, key.c_str());
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return json;
}

/* The member at a dotted path as text: strings as they are, numbers and
 * booleans printed, "<absent>" for anything else. */
inline std::string str(const cJSON *json, const std::string &path)
{
    const cJSON *item = at(json, path);
    if (cJSON_IsNumber(item)) {
        return std::to_string(item->valueint);
    }
    if (cJSON_IsBool(item)) {
        return cJSON_IsTrue(item) ? "true" : "false";
    }
    return cJSON_IsString(item) ? item->valuestring : "<absent>";
}

} // namespace oztest

#endif /* OZ_TESTS_TESTJSON_H */
