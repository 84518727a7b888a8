#include "NodeInfo.h"

#include "JsonFields.h"

ApiResult<NodeInfo> NodeInfo::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("node"));
    NodeInfo node;
    node.id = fields.requiredInteger(QStringLiteral("id"));
    node.name = fields.requiredString(QStringLiteral("name"));
    node.countryCode = fields.requiredString(QStringLiteral("country_code"));
    node.countryName = fields.requiredString(QStringLiteral("country_name"));
    node.flagEmoji = fields.requiredString(QStringLiteral("flag_emoji"));
    node.host = fields.requiredString(QStringLiteral("host"));
    node.port = fields.requiredInteger(QStringLiteral("port"));
    node.sni = fields.optionalString(QStringLiteral("sni"));
    node.status = fields.requiredString(QStringLiteral("status"));
    node.loadPercent = fields.requiredInteger(QStringLiteral("load_percent"));
    if (!fields.ok())
        return ApiError::decoding(fields.error());
    return node;
}

QJsonObject NodeInfo::toJson() const
{
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("country_code"), countryCode},
        {QStringLiteral("country_name"), countryName},
        {QStringLiteral("flag_emoji"), flagEmoji},
        {QStringLiteral("host"), host},
        {QStringLiteral("port"), port},
        {QStringLiteral("status"), status},
        {QStringLiteral("load_percent"), loadPercent},
    };
    if (sni)
        object.insert(QStringLiteral("sni"), *sni);
    return object;
}
