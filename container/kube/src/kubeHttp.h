// kubeHttp.h - the request layer shared by the operation units of the
// Kubernetes API client (internal to the library).
#ifndef KUBE_HTTP_H
#define KUBE_HTTP_H

#include "apiClient.h"
#include "kubeInt.h"
#include "kubeModels.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

namespace kube {

// Query string under construction: parameters are added only when set.
class Query {
public:
    void str(const char *name, const char *value);
    void num(const char *name, long value); // left out when 0
    void flag(const char *name, int value); // "true" when non-zero, left out when 0
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

// Percent-encoding of one path segment or query value.
std::string escape(std::string_view raw);

// Content types of request bodies.
inline constexpr const char *jsonType = "application/json";
inline constexpr const char *strategicMergePatchType = "application/strategic-merge-patch+json";

struct Request {
    const char *method = "GET";
    std::string path; // already escaped, starting with "/"
    Query query;
    const char *contentType = nullptr; // null: no body
    std::string body;
    bool watch = false;    // streamed answer: read until the server ends it
    long watchSeconds = 0; // the server's time-out of a watch
};

// Runs the request: the old received data is dropped, the answer's status
// goes to response_code (0 without an HTTP answer, or when a plain request's
// transfer broke off) and its body to dataReceived/dataReceivedLen.
void perform(apiClient_t *client, const Request &req);

// Parses the received body with the record's parser: null without an
// answer (a body cut short is never parsed), without a body, for a body that
// is not JSON, or when the parser refuses it (errno EBADMSG for the last two;
// the body stays in dataReceived).
template <typename T>
T *parseBody(apiClient_t *client, T *(*parse)(cJSON *))
{
    if (client == nullptr || client->response_code == 0 || client->dataReceived == nullptr ||
        client->dataReceivedLen <= 0) {
        return nullptr;
    }
    oz::JsonPtr json(cJSON_ParseWithLength(static_cast<const char *>(client->dataReceived),
                                           static_cast<size_t>(client->dataReceivedLen)));
    T *rec = json ? parse(json.get()) : nullptr;
    return rec != nullptr ? rec : failNull(EBADMSG);
}

// A request refused before sending (missing client or argument): the
// client's status and data are cleared.
void refuse(apiClient_t *client);

// The unformatted JSON text of a record, empty when it cannot be made.
template <typename T>
std::string bodyOf(T *rec, cJSON *(*convert)(T *))
{
    oz::JsonPtr json(convert(rec));
    oz::JsonText printed(json ? cJSON_PrintUnformatted(json.get()) : nullptr);
    return printed ? std::string(printed.get()) : std::string();
}

// The patch text of a free-form object, empty when it has none.
std::string patchBodyOf(const object_t *body);

// True, with the request refused, when the client or a required argument is
// missing.
template <typename... Args>
bool refused(apiClient_t *client, const Args *...args)
{
    if (client != nullptr && ((args != nullptr) && ...)) {
        return false;
    }
    refuse(client);
    return true;
}

// Runs the request and parses the answer with the record's parser.
template <typename T>
T *call(apiClient_t *client, const Request &req, T *(*parse)(cJSON *))
{
    perform(client, req);
    return parseBody(client, parse);
}

// A plain read of one object.
inline Request readRequest(std::string path, const char *pretty)
{
    Request req;
    req.path = std::move(path);
    req.query.str("pretty", pretty);
    return req;
}

// A write (create or patch) with the options shared by both.
inline Request writeRequest(const char *method, std::string path, const char *pretty, const char *dryRun,
                            const char *fieldManager, const char *fieldValidation)
{
    Request req = readRequest(std::move(path), pretty);
    req.method = method;
    req.query.str("dryRun", dryRun);
    req.query.str("fieldManager", fieldManager);
    req.query.str("fieldValidation", fieldValidation);
    return req;
}

// A strategic-merge patch of one object.
inline Request patchRequest(std::string path, const object_t *body, const char *pretty, const char *dryRun,
                            const char *fieldManager, const char *fieldValidation, int force)
{
    Request req = writeRequest("PATCH", std::move(path), pretty, dryRun, fieldManager, fieldValidation);
    req.query.flag("force", force);
    req.contentType = strategicMergePatchType;
    req.body = patchBodyOf(body);
    return req;
}

// A create from a record, sent as JSON.
template <typename T>
Request createRequest(std::string path, T *body, cJSON *(*convert)(T *), const char *pretty, const char *dryRun,
                      const char *fieldManager, const char *fieldValidation)
{
    Request req = writeRequest("POST", std::move(path), pretty, dryRun, fieldManager, fieldValidation);
    req.contentType = jsonType;
    req.body = bodyOf(body, convert);
    return req;
}

} // namespace kube

#endif // KUBE_HTTP_H
