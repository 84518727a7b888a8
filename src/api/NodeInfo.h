#pragma once

#include "ApiResult.h"

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QVariant>

#include <optional>

// One server node as the service lists it. Nodes are identified by id alone.
struct NodeInfo {
    Q_GADGET
    Q_PROPERTY(qint64 id MEMBER id CONSTANT)
    Q_PROPERTY(QString name MEMBER name CONSTANT)
    Q_PROPERTY(QString countryCode MEMBER countryCode CONSTANT)
    Q_PROPERTY(QString countryName MEMBER countryName CONSTANT)
    Q_PROPERTY(QString flagEmoji MEMBER flagEmoji CONSTANT)
    Q_PROPERTY(QString host MEMBER host CONSTANT)
    Q_PROPERTY(qint64 port MEMBER port CONSTANT)
    Q_PROPERTY(QVariant sni READ sniVariant CONSTANT)
    Q_PROPERTY(QString status MEMBER status CONSTANT)
    Q_PROPERTY(qint64 loadPercent MEMBER loadPercent CONSTANT)

public:
    qint64 id = 0;
    QString name;
    QString countryCode;
    QString countryName;
    QString flagEmoji;
    QString host;
    qint64 port = 0;
    std::optional<QString> sni;
    QString status;
    qint64 loadPercent = 0;

    QVariant sniVariant() const { return sni ? QVariant(*sni) : QVariant(); }

    static ApiResult<NodeInfo> fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
};

Q_DECLARE_METATYPE(NodeInfo)
