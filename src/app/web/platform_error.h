// The errors of the platform client.
//
// `APIError` is what the platform (or the client, for an answer that lacks what an operation
// needs) reports; its `message` is Portuguese text shown to the user as it is, and its `code`
// is what callers branch on ("session_already_ended", "unauthorized", ...). The other kinds
// are failures without a usable answer.
#pragma once

#include "protocol/result.h"

#include <QString>

#include <cstdint>

namespace velurio {

struct APIError {
    int status = 0;
    QString code;
    QString message;

    friend bool operator==(const APIError&, const APIError&) = default;
};

struct PlatformError {
    enum class Kind : std::uint8_t {
        api,              // `api` holds the status, code and message
        transport,        // no answer: refused connection, unknown host, TLS failure, ...
        timeout,          // no complete answer within the request or transfer timeout
        decoding,         // a successful answer that is not the JSON the operation expects
        invalidArgument,  // refused before sending (an id that cannot name a resource)
    };

    Kind kind = Kind::api;
    APIError api;         // only with Kind::api
    QString description;  // the other kinds: what went wrong (never a token)

    static PlatformError fromAPI(APIError error) {
        return PlatformError{Kind::api, std::move(error), {}};
    }
    static PlatformError other(Kind kind, QString description) {
        return PlatformError{kind, {}, std::move(description)};
    }

    // The text for a user or a log line: the API message, or the description.
    QString localizedDescription() const { return kind == Kind::api ? api.message : description; }
    bool hasCode(QStringView code) const { return kind == Kind::api && api.code == code; }

    friend bool operator==(const PlatformError&, const PlatformError&) = default;
};

template <class T>
using PlatformResult = Result<T, PlatformError>;
using PlatformStatus = Status<PlatformError>;

}  // namespace velurio
