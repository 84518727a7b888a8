// Any status and body: the status check passes exactly the 2xx answers and turns every other one into
// an error with that status and a message that is never empty.
#include "api/ApiService.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int status = 100 + (data[0] << 8 | data[1]) % 500;
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const std::optional<ApiError> error = ApiService::checkStatus(status, body);
    const bool success = status >= 200 && status <= 299;
    if (success != !error.has_value())
        std::abort();
    if (error && (error->code != status || error->message.isEmpty()))
        std::abort();
    return 0;
}
