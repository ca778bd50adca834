/* ozcMgrHttpLib.cpp - request header lists, response header parsing and the
 * HTTP reason phrases of the image manager's transfer layer. */
#include "ozcMgrHttpLib.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ozcMgrUtil.h"
#include "ozcMgrInt.h"

namespace {

/* Case-insensitive search of needle in haystack. */
const char *findNoCase(const char *haystack, const char *needle)
{
    size_t n = strlen(needle);
    if (n == 0)
        return haystack;
    for (const char *p = haystack; *p != '\0'; ++p) {
        if (strncasecmp(p, needle, n) == 0)
            return p;
    }
    return nullptr;
}

/* Copies [begin, end) into out when it fits below out_size. */
bool copySpan(const char *begin, const char *end, char *out, size_t out_size)
{
    return ozcmgr::fieldCopy(out, out_size, begin, static_cast<size_t>(end - begin));
}

constexpr const char kAuthFormatError[] = "www-authenticate field value format error in the HTTP response\n";

/* Copies the quoted value that follows mark, searched from `from`, into out;
 * the value's first character, or null after the error line (`missing`
 * when there is no mark, `tooLong` when the value does not fit). */
const char *quotedValueCopy(const char *from, const char *mark, char *out, size_t out_size, const char *missing,
                            const char *tooLong)
{
    const char *match = strstr(from, mark);
    if (match == nullptr) {
        ozcMgrUtilErr("%s", missing);
        return nullptr;
    }
    const char *begin = match + strlen(mark);
    const char *end = strchr(begin, '"');
    if (end == nullptr) {
        ozcMgrUtilErr("%s", kAuthFormatError);
        return nullptr;
    }
    if (!copySpan(begin, end, out, out_size)) {
        ozcMgrUtilErr("%s", tooLong);
        return nullptr;
    }
    return begin;
}

} /* namespace */

extern "C" {

const ResponseCodeSt response_code_table[HTTP_RESPONSE_CODE_COUNT] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Early Hints"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

HTTP_HEADER *httpHeaderCreate(void)
{
    auto *header = static_cast<HTTP_HEADER *>(calloc(1, sizeof(HTTP_HEADER)));
    if (header == nullptr)
        ozcMgrUtilErr("malloc failed for header\n");
    return header;
}

int httpHeaderAppend(HTTP_HEADER *header, const char *line)
{
    if (header == nullptr || line == nullptr)
        return -1;
    struct curl_slist *list = curl_slist_append(header->list, line);
    if (list == nullptr)
        return -1;
    header->list = list;
    return 0;
}

void httpHeaderFree(HTTP_HEADER *header)
{
    if (header == nullptr)
        return;
    curl_slist_free_all(header->list);
    free(header);
}

int httpHeaderValGet(const char *header, const char *field, char *out, size_t out_size)
{
    if (header == nullptr || field == nullptr || field[0] == '\0' || out == nullptr || out_size == 0)
        return -1;
    const char *match = findNoCase(header, field);
    if (match == nullptr) {
        ozcMgrUtilErr("no %s field found in the HTTP response\n", field);
        return -1;
    }
    /* A longer name that merely begins with the field name: look once more,
     * and take that match only when it is the field itself. */
    size_t fieldLen = strlen(field);
    const char *after = match + fieldLen;
    if (*after != ':' && *after != '\0') {
        match = findNoCase(match + 1, field);
        if (match == nullptr || match[fieldLen] != ':') {
            ozcMgrUtilErr("no %s field found in the HTTP response\n", field);
            return -1;
        }
    }
    const char *colon = strchr(match, ':');
    if (colon == nullptr) {
        ozcMgrUtilErr("%s field value format error in the HTTP response\n", field);
        return -1;
    }
    /* The value follows the colon and its optional white space. */
    const char *value = colon + 1;
    while (*value == ' ' || *value == '\t')
        ++value;
    const char *end = strstr(colon, "\r\n");
    if (end == nullptr || end < value) {
        ozcMgrUtilErr("%s field value format error in the HTTP response\n", field);
        return -1;
    }
    if (!copySpan(value, end, out, out_size)) {
        ozcMgrUtilErr("The value's length for field %s is too long in the HTTP response\n", field);
        return -1;
    }
    return 0;
}

int httpHeaderAuthGet(const char *header, char *method, size_t method_size, char *realm, size_t realm_size,
                      char *service, size_t service_size)
{
    static const char fieldName[] = "www-authenticate: ";

    if (header == nullptr || method == nullptr || realm == nullptr || service == nullptr || method_size == 0 ||
        realm_size == 0 || service_size == 0)
        return -1;
    const char *field = findNoCase(header, fieldName);
    if (field == nullptr) {
        ozcMgrUtilErr("no www-authenticate field found in the HTTP response\n");
        return -1;
    }
    const char *methodBegin = field + strlen(fieldName);
    const char *space = strchr(methodBegin, ' ');
    if (space == nullptr) {
        ozcMgrUtilErr("%s", kAuthFormatError);
        return -1;
    }
    if (!copySpan(methodBegin, space, method, method_size)) {
        ozcMgrUtilErr("auth_method length is too long in the HTTP response\n");
        return -1;
    }

    const char *realmBegin =
        quotedValueCopy(methodBegin, "realm=\"", realm, realm_size, "no realm found in the HTTP response\n",
                        "auth_url length is too long in the HTTP response\n");
    if (realmBegin == nullptr)
        return -1;
    /* the service is searched from the realm's opening quote on */
    if (quotedValueCopy(realmBegin - 1, "service=\"", service, service_size, "no service found in the HTTP response\n",
                        "auth_service length is too long in the HTTP response\n") == nullptr)
        return -1;
    return 0;
}

const char *httpResponseCodeStrGet(long code)
{
    for (const ResponseCodeSt &row : response_code_table) {
        if (row.code_id == code)
            return row.code_string;
    }
    return "Unknown response code";
}

} /* extern "C" */
