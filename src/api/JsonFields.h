#pragma once

#include <QCborMap>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// Reads a record's fields from a JSON object, strictly: a required field that is missing, null or of
// another JSON type spoils the whole record; an optional one that is missing or null is absent; keys the
// record does not declare are ignored. The first problem is kept as the error.
class JsonFields {
public:
    JsonFields(const QJsonObject &object, QString record);

    QString requiredString(QLatin1StringView key);
    std::optional<QString> optionalString(QLatin1StringView key);
    qint64 requiredInteger(QLatin1StringView key);
    bool requiredBool(QLatin1StringView key);
    std::optional<QJsonObject> optionalObject(QLatin1StringView key);
    QJsonObject requiredObject(QLatin1StringView key);
    std::optional<QJsonArray> optionalArray(QLatin1StringView key);

    // Lets a nested record report its own failure through this reader.
    void fail(const QString &message);

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }

private:
    std::optional<QCborValueConstRef> presentScalar(QLatin1StringView key) const;
    std::optional<QJsonValueConstRef> presentNested(QLatin1StringView key) const;
    // The value as given, noting the key as missing when there is none.
    template <typename Value>
    std::optional<Value> required(std::optional<Value> value, QLatin1StringView key);
    void missing(QLatin1StringView key);
    void wrongType(QLatin1StringView key, const char *expected);

    const QJsonObject &m_object;
    // The same fields, shared, not copied. Its lookup is an equality scan, which for a record of ten
    // short keys costs half of the object's ordered search; it also tells whole numbers from others.
    // Objects and lists are read from the JSON side, which hands them out without a conversion.
    const QCborMap m_scalars;
    QString m_record;
    QString m_error;
};

namespace JsonText {

// The object a body holds, or the reason it holds none.
std::optional<QJsonObject> parseObject(const QByteArray &body, QString *error);
// Whether the body is one well-formed JSON value of any kind (object, array, string, number, ...).
bool isWellFormed(const QByteArray &body);

} // namespace JsonText
