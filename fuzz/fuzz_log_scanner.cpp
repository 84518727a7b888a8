// Any log, cut into any pieces: the incremental scanner gives the verdict a search of the whole text
// gives.
#include "tunnel/LogScanner.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    // The first bytes choose the cuts; the rest is the log.
    std::vector<size_t> cuts;
    const size_t cutCount = provider.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < cutCount; ++i)
        cuts.push_back(provider.ConsumeIntegralInRange<size_t>(0, 64));
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QByteArray log(rest.data(), qsizetype(rest.size()));

    LogScanner pieces;
    qsizetype at = 0;
    for (size_t i = 0; at < log.size(); ++i) {
        const qsizetype length = cuts.empty() ? log.size() : qsizetype(std::max<size_t>(1, cuts[i % cuts.size()]));
        pieces.feed(log.mid(at, length));
        at += length;
    }
    // "VPN 隧道已启动" and "失败" in UTF-8.
    const bool marker =
        log.contains(QByteArrayLiteral("VPN \xe9\x9a\xa7\xe9\x81\x93\xe5\xb7\xb2\xe5\x90\xaf\xe5\x8a\xa8"));
    const bool error =
        log.contains(QByteArrayLiteral("\xe5\xa4\xb1\xe8\xb4\xa5")) || log.contains("Error") || log.contains("error");
    if (pieces.sawMarker() != marker || pieces.sawError() != error)
        std::abort();
    return 0;
}
