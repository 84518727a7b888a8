// Any bytes as a service answer: decoding never crashes, and whatever decodes survives its own
// encoding unchanged.
#include "api/ApiRecords.h"
#include "api/JsonFields.h"

#include <cstdint>
#include <cstdlib>

namespace {

template <typename Record>
void decodesStably(const QJsonObject &object)
{
    const ApiResult<Record> decoded = Record::fromJson(object);
    if (!decoded) {
        if (decoded.error().message.isEmpty())
            std::abort(); // a refusal always says why
        return;
    }
    const QJsonObject encoded = decoded.value().toJson();
    const ApiResult<Record> again = Record::fromJson(encoded);
    if (!again || again.value().toJson() != encoded)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QString problem;
    if (const std::optional<QJsonObject> object = JsonText::parseObject(body, &problem)) {
        decodesStably<NodesResponse>(*object);
        decodesStably<AuthResponse>(*object);
        decodesStably<UserMeResponse>(*object);
        decodesStably<UserInfo>(*object);
        decodesStably<SubscriptionInfo>(*object);
    } else if (problem.isEmpty()) {
        std::abort();
    }
    static_cast<void>(EmptyResponse::fromBody(body));
    return 0;
}
