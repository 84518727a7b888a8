#include "NodeInfo.h"

#include "JsonFields.h"

using namespace Qt::Literals::StringLiterals;

ApiResult<NodeInfo> NodeInfo::fromJson(const QJsonObject &object)
{
    JsonFields fields(object, QStringLiteral("node"));
    NodeInfo node;
    node.id = fields.requiredInteger("id"_L1);
    node.name = fields.requiredString("name"_L1);
    node.countryCode = fields.requiredString("country_code"_L1);
    node.countryName = fields.requiredString("country_name"_L1);
    node.flagEmoji = fields.requiredString("flag_emoji"_L1);
    node.host = fields.requiredString("host"_L1);
    node.port = fields.requiredInteger("port"_L1);
    node.sni = fields.optionalString("sni"_L1);
    node.status = fields.requiredString("status"_L1);
    node.loadPercent = fields.requiredInteger("load_percent"_L1);
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
