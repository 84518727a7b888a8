#include "JsonFields.h"

#include <QJsonDocument>

#include <type_traits>

JsonFields::JsonFields(const QJsonObject &object, QString record)
    : m_object(object)
    , m_scalars(QCborMap::fromJsonObject(object))
    , m_record(std::move(record))
{}

void JsonFields::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
}

void JsonFields::wrongType(QLatin1StringView key, const char *expected)
{
    fail(QStringLiteral("%1: \"%2\" is not %3").arg(m_record, key, QLatin1String(expected)));
}

void JsonFields::missing(QLatin1StringView key)
{
    fail(QStringLiteral("%1: \"%2\" is missing").arg(m_record, key));
}

namespace {

// The field where it stands in the document (no copy of it: a node list has thousands of records), or
// nothing when it is missing or null; in either view of the record.
template <typename Fields>
auto presentIn(const Fields &fields, QLatin1StringView key)
    -> std::optional<std::decay_t<decltype(fields.constFind(key).value())>>
{
    const auto found = fields.constFind(key);
    if (found == fields.constEnd() || found.value().isNull())
        return std::nullopt;
    return found.value();
}

} // namespace

std::optional<QCborValueConstRef> JsonFields::presentScalar(QLatin1StringView key) const
{
    return presentIn(m_scalars, key);
}

std::optional<QJsonValueConstRef> JsonFields::presentNested(QLatin1StringView key) const
{
    return presentIn(m_object, key);
}

template <typename Value>
std::optional<Value> JsonFields::required(std::optional<Value> value, QLatin1StringView key)
{
    if (!value)
        missing(key);
    return value;
}

QString JsonFields::requiredString(QLatin1StringView key)
{
    const std::optional<QCborValueConstRef> value = required(presentScalar(key), key);
    if (!value)
        return QString();
    if (!value->isString())
        wrongType(key, "a string");
    return value->toString();
}

std::optional<QString> JsonFields::optionalString(QLatin1StringView key)
{
    const std::optional<QCborValueConstRef> value = presentScalar(key);
    if (!value)
        return std::nullopt;
    if (!value->isString()) {
        wrongType(key, "a string");
        return std::nullopt;
    }
    return value->toString();
}

qint64 JsonFields::requiredInteger(QLatin1StringView key)
{
    const std::optional<QCborValueConstRef> value = required(presentScalar(key), key);
    if (!value)
        return 0;
    // The parser keeps whole numbers that fit 64 bits as integers; anything else arrives as a double.
    if (!value->isInteger()) {
        wrongType(key, "a 64-bit integer");
        return 0;
    }
    return value->toInteger();
}

bool JsonFields::requiredBool(QLatin1StringView key)
{
    const std::optional<QCborValueConstRef> value = required(presentScalar(key), key);
    if (!value)
        return false;
    if (!value->isBool())
        wrongType(key, "a boolean");
    return value->toBool();
}

QJsonObject JsonFields::requiredObject(QLatin1StringView key)
{
    const std::optional<QJsonValueConstRef> value = required(presentNested(key), key);
    if (!value)
        return QJsonObject();
    if (!value->isObject())
        wrongType(key, "an object");
    return value->toObject();
}

std::optional<QJsonObject> JsonFields::optionalObject(QLatin1StringView key)
{
    const std::optional<QJsonValueConstRef> value = presentNested(key);
    if (!value)
        return std::nullopt;
    if (!value->isObject()) {
        wrongType(key, "an object");
        return std::nullopt;
    }
    return value->toObject();
}

std::optional<QJsonArray> JsonFields::optionalArray(QLatin1StringView key)
{
    const std::optional<QJsonValueConstRef> value = presentNested(key);
    if (!value)
        return std::nullopt;
    if (!value->isArray()) {
        wrongType(key, "a list");
        return std::nullopt;
    }
    return value->toArray();
}

namespace JsonText {

std::optional<QJsonObject> parseObject(const QByteArray &body, QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            *error = QStringLiteral("The response is not valid JSON (%1 at offset %2)")
                         .arg(parseError.errorString())
                         .arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("The response is not a JSON object");
        return std::nullopt;
    }
    return document.object();
}

bool isWellFormed(const QByteArray &body)
{
    QJsonParseError parseError{};
    QJsonDocument::fromJson(body, &parseError);
    if (parseError.error == QJsonParseError::NoError)
        return true;
    // The parser takes only objects and arrays at the top; any other single value is well-formed JSON
    // exactly when wrapping it in brackets gives a list of one element.
    const QJsonDocument wrapped = QJsonDocument::fromJson('[' + body + ']', &parseError);
    return parseError.error == QJsonParseError::NoError && wrapped.isArray() && wrapped.array().size() == 1;
}

} // namespace JsonText
