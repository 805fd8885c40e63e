// Host side of the vendor's cloud API: authentication methods, API data
// types, the bootstrap data of each API, and the request thread base.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/oz_export.h"
#include "host/oz_thread.h"

class OZ_HOST_API ozOstrelApiAuthMethod
{
public:
    enum Type : uint8_t { AUTH_INVALID = 0, AUTH_BASIC = 1, AUTH_BEARER = 2, AUTH_MTLS = 3 };

    // Name tables: "invalid", "basic", "bearer", "mtls". An unknown name
    // gives AUTH_INVALID, an unknown number "invalid".
    static const std::string &GetName(Type type);
    static Type GetType(const std::string &name);

    class OZ_HOST_API Base
    {
    public:
        explicit Base(Type type)
            : type(type)
        {
        }
        virtual ~Base() = default;
        Type GetType() const { return type; }

    private:
        Type type;
    };

    class OZ_HOST_API Basic : public Base
    {
    public:
        Basic(const std::string &username, const std::string &password)
            : Base(AUTH_BASIC)
            , username(username)
            , password(password)
        {
        }
        const std::string username;
        const std::string password;
    };

    class OZ_HOST_API Bearer : public Base
    {
    public:
        explicit Bearer(const std::string &token)
            : Base(AUTH_BEARER)
            , token(token)
        {
        }
        const std::string token;
    };

    class OZ_HOST_API Mtls : public Base
    {
    public:
        Mtls(const std::string &cert_file, const std::string &key_file)
            : Base(AUTH_MTLS)
            , cert_file(cert_file)
            , key_file(key_file)
        {
        }
        const std::string cert_file;
        const std::string key_file;
    };
};

class OZ_HOST_API ozOstrelApiData
{
public:
    enum Type : uint8_t { DATA_INVALID = 0, DATA_AGENT = 1, DATA_INTEL = 2, DATA_DEV_DISCOVERY = 3 };

    // Name tables: "invalid", "agent", "intel", "dev-discovery".
    static const std::string &GetName(Type type);
    static Type GetType(const std::string &name);

    // What the host learnt when it bootstrapped one API: its URLs by name
    // ("index", "upload", ...) and how to authenticate.
    struct Bootstrap {
        std::map<std::string, std::string> urls;
        std::shared_ptr<ozOstrelApiAuthMethod::Base> auth_method;
    };
};

// The host's API state, which the host sets up.
class OZ_HOST_API ozOstrelApiManager
{
public:
    ozOstrelApiManager() = default;
    ~ozOstrelApiManager();
    ozOstrelApiManager(const ozOstrelApiManager &) = delete;
    ozOstrelApiManager &operator=(const ozOstrelApiManager &) = delete;

    // Null when the host has no bootstrap data for the type.
    std::shared_ptr<const ozOstrelApiData::Bootstrap> GetBootstrapData(ozOstrelApiData::Type type) const;
};

// One HTTP exchange on a thread of its own. Subclasses fill `headers` and
// call Perform from Entry; the owner reads the response once HasTerminated().
class OZ_HOST_API ozOstrelApiThread : public ozThread
{
public:
    enum Method : uint8_t { METHOD_GET = 0, METHOD_HEAD = 1, METHOD_POST = 2, METHOD_PUT = 3 };

    ozOstrelApiThread(const std::string &tag, std::shared_ptr<ozOstrelApiAuthMethod::Base> auth = nullptr);
    ~ozOstrelApiThread() override;

    void SetAuthMethod(std::shared_ptr<ozOstrelApiAuthMethod::Base> auth);

    // Runs the request. Throws ozException when no response was had (the
    // response code then stays -1) or the body exceeds the host's cap.
    void Perform(Method method, const std::string &url, const std::string &body);

    long GetResponseCode() const { return response_code; }
    const std::string &GetResponseContentType() const { return response_content_type; }
    const std::string &GetResponseBody() const { return response_body; }

protected:
    // Request headers, name to value. insert() does not overwrite.
    std::map<std::string, std::string> headers;

private:
    std::shared_ptr<ozOstrelApiAuthMethod::Base> auth;
    long response_code = -1;
    std::string response_content_type;
    std::string response_body;
};
