#pragma once

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

    QString requiredString(const QString &key);
    std::optional<QString> optionalString(const QString &key);
    qint64 requiredInteger(const QString &key);
    bool requiredBool(const QString &key);
    std::optional<QJsonObject> optionalObject(const QString &key);
    QJsonObject requiredObject(const QString &key);
    std::optional<QJsonArray> optionalArray(const QString &key);

    // Lets a nested record report its own failure through this reader.
    void fail(const QString &message);

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }

private:
    QJsonValue required(const QString &key);
    void wrongType(const QString &key, const char *expected);

    const QJsonObject &m_object;
    QString m_record;
    QString m_error;
};

namespace JsonText {

// The object a body holds, or the reason it holds none.
std::optional<QJsonObject> parseObject(const QByteArray &body, QString *error);
// Whether the body is one well-formed JSON value of any kind (object, array, string, number, ...).
bool isWellFormed(const QByteArray &body);

} // namespace JsonText
