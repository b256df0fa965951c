#include "core/es256_verifier.h"

#include "core/base64.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace velurio {

namespace {

using Error = ES256VerificationError;

Error makeError(Error::Kind kind) {
    return Error{kind, {}};
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Nothing when the element (or something inside it) cannot be represented.
JSONValue convert(const simdjson::dom::element& element) {
    using simdjson::dom::element_type;
    switch (element.type()) {
        case element_type::ARRAY: {
            auto array = std::make_shared<JSONValue::Array>();
            // Held in a variable: iterating the temporary result's value would dangle.
            const simdjson::dom::array children = element.get_array().value_unsafe();
            for (const auto child : children) {
                array->push_back(convert(child));
            }
            return JSONValue{std::shared_ptr<const JSONValue::Array>(std::move(array))};
        }
        case element_type::OBJECT: {
            auto object = std::make_shared<JSONValue::Object>();
            const simdjson::dom::object fields = element.get_object().value_unsafe();
            for (const auto field : fields) {
                // A repeated key keeps its last value, as the claims' consumers would see it.
                (*object)[std::string(field.key)] = convert(field.value);
            }
            return JSONValue{std::shared_ptr<const JSONValue::Object>(std::move(object))};
        }
        case element_type::INT64:
            return JSONValue{element.get_int64().value_unsafe()};
        case element_type::UINT64:
            return JSONValue{element.get_uint64().value_unsafe()};
        case element_type::DOUBLE:
            return JSONValue{element.get_double().value_unsafe()};
        case element_type::STRING:
            return JSONValue{std::string(element.get_string().value_unsafe())};
        case element_type::BOOL:
            return JSONValue{element.get_bool().value_unsafe()};
        case element_type::NULL_VALUE:
            break;
    }
    return JSONValue{nullptr};
}

// Parses JSON text whose top level is an object or an array (a bare scalar is not a JSON
// document here). Nothing on any parse failure.
std::optional<JSONValue> parseJSON(const Bytes& bytes) {
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    simdjson::dom::element root;
    if (parser.parse(padded).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    if (root.type() != simdjson::dom::element_type::OBJECT &&
        root.type() != simdjson::dom::element_type::ARRAY) {
        return std::nullopt;
    }
    return convert(root);
}

const JSONObject* asObject(const JSONValue& value) {
    const auto* object = std::get_if<std::shared_ptr<const JSONValue::Object>>(&value.value);
    return object ? object->get() : nullptr;
}

// exp <= now, compared exactly whatever form exp was written in.
bool notLaterThan(const JSONValue& exp, double now) {
    if (const auto* d = std::get_if<double>(&exp.value)) {
        return *d <= now;
    }
    if (std::isnan(now)) {
        return false;
    }
    // For an integer e: e <= now exactly when e <= floor(now).
    const double floorNow = std::floor(now);
    if (const auto* i = std::get_if<std::int64_t>(&exp.value)) {
        if (floorNow >= 9223372036854775808.0) {
            return true;
        }
        if (floorNow < -9223372036854775808.0) {
            return false;
        }
        return *i <= static_cast<std::int64_t>(floorNow);
    }
    if (const auto* u = std::get_if<std::uint64_t>(&exp.value)) {
        if (floorNow >= 18446744073709551616.0) {
            return true;
        }
        if (floorNow < 0) {
            return false;
        }
        return *u <= static_cast<std::uint64_t>(floorNow);
    }
    return false;
}

void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[byte >> 4]);
                    out.push_back(kHex[byte & 0x0F]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

void appendValue(std::string& out, const JSONValue& value) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                out += "null";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::string>) {
                appendString(out, v);
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const JSONValue::Array>>) {
                out.push_back('[');
                bool first = true;
                for (const auto& item : *v) {
                    if (!first) {
                        out.push_back(',');
                    }
                    first = false;
                    appendValue(out, item);
                }
                out.push_back(']');
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const JSONValue::Object>>) {
                out.push_back('{');
                bool first = true;
                for (const auto& [key, item] : *v) {
                    if (!first) {
                        out.push_back(',');
                    }
                    first = false;
                    appendString(out, key);
                    out.push_back(':');
                    appendValue(out, item);
                }
                out.push_back('}');
            } else {
                // Numbers; simdjson never yields a non-finite double.
                char buffer[32];
                const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
                out.append(buffer, result.ptr);
            }
        },
        value.value);
}

}  // namespace

bool JSONValue::isNumber() const noexcept {
    return std::holds_alternative<std::int64_t>(value) ||
           std::holds_alternative<std::uint64_t>(value) || std::holds_alternative<double>(value);
}

std::string JSONValue::serialized() const {
    std::string out;
    appendValue(out, *this);
    return out;
}

namespace ES256Verifier {

std::optional<Bytes> base64URLDecode(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        }
    }
    while (standard.size() % 4 != 0) {
        standard.push_back('=');  // a remainder of 1 gets three and then fails to decode
    }
    return Base64::decode(standard);
}

Result<P256PublicKey, ES256VerificationError> p256PublicKey(std::string_view pem) {
    std::string text(pem);
    for (const std::string_view marker :
         {"-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----"}) {
        for (std::size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at)) {
            text.erase(at, marker.size());
        }
    }
    std::string body;
    body.reserve(text.size());
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
            body.push_back(c);
        }
    }
    const auto der = Base64::decode(body);
    if (!der) {
        return fail(makeError(Error::Kind::invalidKey));
    }
    auto key = P256PublicKey::fromSubjectPublicKeyInfo(*der);
    if (!key) {
        return fail(makeError(Error::Kind::invalidKey));
    }
    return std::move(*key);
}

Result<JSONObject, ES256VerificationError> verify(std::string_view token,
                                                  const P256PublicKey& publicKey,
                                                  double nowUnixSeconds) {
    const std::size_t firstDot = token.find('.');
    const std::size_t secondDot =
        firstDot == std::string_view::npos ? firstDot : token.find('.', firstDot + 1);
    if (secondDot == std::string_view::npos ||
        token.find('.', secondDot + 1) != std::string_view::npos) {
        return fail(makeError(Error::Kind::malformed));
    }
    const std::string_view headerText = token.substr(0, firstDot);
    const std::string_view payloadText = token.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string_view signatureText = token.substr(secondDot + 1);

    const auto header = base64URLDecode(headerText);
    const auto payload = base64URLDecode(payloadText);
    const auto signature = base64URLDecode(signatureText);
    if (!header || !payload || !signature) {
        return fail(makeError(Error::Kind::malformed));
    }

    const auto headerJSON = parseJSON(*header);
    if (!headerJSON) {
        return fail(makeError(Error::Kind::invalidJSON));
    }
    const JSONObject* headerObject = asObject(*headerJSON);
    if (headerObject == nullptr) {
        return fail(makeError(Error::Kind::malformed));
    }
    const auto alg = headerObject->find("alg");
    const std::string* algorithm =
        alg == headerObject->end() ? nullptr : std::get_if<std::string>(&alg->second.value);
    if (algorithm == nullptr) {
        return fail(makeError(Error::Kind::malformed));
    }
    if (*algorithm != "ES256") {
        return fail(Error{Error::Kind::unsupportedAlgorithm, *algorithm});
    }

    const std::string_view signedText = token.substr(0, secondDot);
    if (signature->size() != 64) {
        return fail(makeError(Error::Kind::invalidSignatureLength));
    }
    if (!publicKey.verifyRaw(asBytes(signedText), *signature)) {
        return fail(makeError(Error::Kind::invalidSignature));
    }

    const auto payloadJSON = parseJSON(*payload);
    if (!payloadJSON) {
        return fail(makeError(Error::Kind::invalidJSON));
    }
    const JSONObject* claims = asObject(*payloadJSON);
    if (claims == nullptr) {
        return fail(makeError(Error::Kind::malformed));
    }
    const auto exp = claims->find("exp");
    if (exp != claims->end() && exp->second.isNumber() &&
        notLaterThan(exp->second, nowUnixSeconds)) {
        return fail(makeError(Error::Kind::expired));
    }
    return JSONObject(*claims);
}

}  // namespace ES256Verifier

namespace ES256Signer {

Result<std::string, std::string> sign(std::string_view payloadJSON,
                                      const P256PrivateKey& privateKey,
                                      std::string_view headerJSON) {
    std::string token = Base64::encodeURL(asBytes(headerJSON));
    token.push_back('.');
    token += Base64::encodeURL(asBytes(payloadJSON));
    auto signature = privateKey.signRaw(asBytes(token));
    if (!signature) {
        return fail(signature.error());
    }
    token.push_back('.');
    token += Base64::encodeURL(*signature);
    return token;
}

}  // namespace ES256Signer
}  // namespace velurio
