#include "JsonFields.h"

#include <QJsonDocument>
#include <QVariant>

JsonFields::JsonFields(const QJsonObject &object, QString record)
    : m_object(object)
    , m_record(std::move(record))
{}

void JsonFields::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
}

void JsonFields::wrongType(const QString &key, const char *expected)
{
    fail(QStringLiteral("%1: \"%2\" is not %3").arg(m_record, key, QLatin1String(expected)));
}

QJsonValue JsonFields::required(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        fail(QStringLiteral("%1: \"%2\" is missing").arg(m_record, key));
    return value;
}

QString JsonFields::requiredString(const QString &key)
{
    const QJsonValue value = required(key);
    if (!value.isString() && !value.isUndefined() && !value.isNull())
        wrongType(key, "a string");
    return value.toString();
}

std::optional<QString> JsonFields::optionalString(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString()) {
        wrongType(key, "a string");
        return std::nullopt;
    }
    return value.toString();
}

qint64 JsonFields::requiredInteger(const QString &key)
{
    const QJsonValue value = required(key);
    if (value.isUndefined() || value.isNull())
        return 0;
    // The parser keeps whole numbers that fit 64 bits as integers; anything else arrives as a double.
    if (!value.isDouble() || value.toVariant().typeId() != QMetaType::LongLong) {
        wrongType(key, "a 64-bit integer");
        return 0;
    }
    return value.toInteger();
}

bool JsonFields::requiredBool(const QString &key)
{
    const QJsonValue value = required(key);
    if (!value.isBool() && !value.isUndefined() && !value.isNull())
        wrongType(key, "a boolean");
    return value.toBool();
}

QJsonObject JsonFields::requiredObject(const QString &key)
{
    const QJsonValue value = required(key);
    if (!value.isObject() && !value.isUndefined() && !value.isNull())
        wrongType(key, "an object");
    return value.toObject();
}

std::optional<QJsonObject> JsonFields::optionalObject(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject()) {
        wrongType(key, "an object");
        return std::nullopt;
    }
    return value.toObject();
}

std::optional<QJsonArray> JsonFields::optionalArray(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isArray()) {
        wrongType(key, "a list");
        return std::nullopt;
    }
    return value.toArray();
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
