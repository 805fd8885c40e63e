// The request thread's HTTP exchange, over libcurl.
#include <curl/curl.h>

#include <cctype>
#include <memory>

#include "host/oz_api.h"
#include "host/oz_config.h"
#include "host/oz_exception.h"
#include "host/standin/control.h"
#include "host/standin/header_value.h"

namespace {

struct Transfer {
    std::string body;
    size_t cap = 0;
    bool too_large = false;
    const ozThread *thread = nullptr;
};

size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    Transfer *transfer = static_cast<Transfer *>(context);
    size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->cap) {
        transfer->too_large = true;
        return 0; // makes curl stop with a write error
    }
    transfer->body.append(data, bytes);
    return bytes;
}

int OnProgress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    // A terminate request aborts the transfer instead of waiting it out.
    const Transfer *transfer = static_cast<const Transfer *>(context);
    return transfer->thread->ShouldTerminate() ? 1 : 0;
}

ostrel_standin::HttpOptions HttpOptions()
{
    ozInstance *instance = ozInstance::instance;
    return instance != nullptr ? ostrel_standin::GetHttpOptions(instance->api_manager)
                               : ostrel_standin::HttpOptions();
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using CurlList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

} // namespace

ozOstrelApiThread::ozOstrelApiThread(
    const std::string &tag, std::shared_ptr<ozOstrelApiAuthMethod::Base> auth)
    : ozThread(tag)
    , auth(std::move(auth))
{
}

ozOstrelApiThread::~ozOstrelApiThread()
{
    Terminate();
    Join();
}

void ozOstrelApiThread::SetAuthMethod(std::shared_ptr<ozOstrelApiAuthMethod::Base> method)
{
    auth = std::move(method);
}

void ozOstrelApiThread::Perform(Method method, const std::string &url, const std::string &body)
{
    static CurlGlobal curl_global;
    response_code = -1;
    response_content_type.clear();
    response_body.clear();

    // Nothing is sent when a header would split.
    auto check = [this, &url](const std::string &what, const std::string &text) {
        int control = ostrel_standin::FirstControl(text);
        if (control >= 0)
            throw ozException("%s: %s: %s holds control character 0x%02x; request not sent", tag.c_str(),
                url.c_str(), what.c_str(), static_cast<unsigned>(control));
    };
    for (const auto &header : headers) {
        check("a header name", header.first);
        check("header " + header.first, header.second);
    }
    if (auth && auth->GetType() == ozOstrelApiAuthMethod::AUTH_BEARER)
        check("bearer token", std::static_pointer_cast<ozOstrelApiAuthMethod::Bearer>(auth)->token);

    ostrel_standin::HttpOptions options = HttpOptions();
    CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) throw ozException("%s: curl_easy_init failed", tag.c_str());
    CURL *ch = curl.get();

    Transfer transfer;
    transfer.cap = options.max_response_bytes;
    transfer.thread = this;

    curl_easy_setopt(ch, CURLOPT_URL, url.c_str());
    curl_easy_setopt(ch, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(ch, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(ch, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(ch, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.ca_file.empty()) curl_easy_setopt(ch, CURLOPT_CAINFO, options.ca_file.c_str());
    curl_easy_setopt(ch, CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms);
    curl_easy_setopt(ch, CURLOPT_TIMEOUT_MS, options.total_timeout_ms);
    curl_easy_setopt(ch, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(ch, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(ch, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(ch, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(ch, CURLOPT_NOPROGRESS, 0L);

    switch (method) {
    case METHOD_GET:
        curl_easy_setopt(ch, CURLOPT_HTTPGET, 1L);
        break;
    case METHOD_HEAD:
        curl_easy_setopt(ch, CURLOPT_NOBODY, 1L);
        break;
    case METHOD_POST:
    case METHOD_PUT:
        if (method == METHOD_PUT) curl_easy_setopt(ch, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(ch, CURLOPT_POST, 1L);
        curl_easy_setopt(ch, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(ch, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        break;
    }

    CurlList header_list(nullptr, &curl_slist_free_all);
    auto add_header = [&header_list](const std::string &line) {
        curl_slist *grown = curl_slist_append(header_list.get(), line.c_str());
        if (grown == nullptr) throw ozException("curl_slist_append failed");
        header_list.release();
        header_list.reset(grown);
    };
    for (const auto &header : headers) {
        // curl drops "Name:" with nothing after it; "Name;" sends it empty.
        if (header.second.empty())
            add_header(header.first + ";");
        else
            add_header(header.first + ": " + header.second);
    }
    // curl would otherwise send "Expect: 100-continue" with larger bodies.
    add_header("Expect:");

    if (auth) {
        switch (auth->GetType()) {
        case ozOstrelApiAuthMethod::AUTH_BASIC: {
            auto basic = std::static_pointer_cast<ozOstrelApiAuthMethod::Basic>(auth);
            curl_easy_setopt(ch, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(ch, CURLOPT_USERNAME, basic->username.c_str());
            curl_easy_setopt(ch, CURLOPT_PASSWORD, basic->password.c_str());
            break;
        }
        case ozOstrelApiAuthMethod::AUTH_BEARER: {
            auto bearer = std::static_pointer_cast<ozOstrelApiAuthMethod::Bearer>(auth);
            add_header("Authorization: Bearer " + bearer->token);
            break;
        }
        case ozOstrelApiAuthMethod::AUTH_MTLS: {
            auto mtls = std::static_pointer_cast<ozOstrelApiAuthMethod::Mtls>(auth);
            curl_easy_setopt(ch, CURLOPT_SSLCERT, mtls->cert_file.c_str());
            curl_easy_setopt(ch, CURLOPT_SSLKEY, mtls->key_file.c_str());
            break;
        }
        default:
            break;
        }
    }
    curl_easy_setopt(ch, CURLOPT_HTTPHEADER, header_list.get());

    CURLcode result = curl_easy_perform(ch);

    long code = 0;
    if (curl_easy_getinfo(ch, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code > 0) response_code = code;
    char *content_type = nullptr;
    if (curl_easy_getinfo(ch, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK && content_type != nullptr)
        response_content_type = content_type;

    if (transfer.too_large || result != CURLE_OK) {
        // A partial answer is no answer.
        response_code = -1;
        response_content_type.clear();
    }
    if (transfer.too_large) {
        throw ozException("%s: %s: response body larger than %zu bytes", tag.c_str(), url.c_str(),
            options.max_response_bytes);
    }
    if (result != CURLE_OK) {
        throw ozException("%s: %s: %s", tag.c_str(), url.c_str(), curl_easy_strerror(result));
    }
    response_body = std::move(transfer.body);
}
