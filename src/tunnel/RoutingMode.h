#pragma once

#include <QString>

#include <optional>

// How the helper routes traffic: everything through the tunnel, or split.
enum class RoutingMode { safe, smart };

namespace RoutingModes {

inline QString rawValue(RoutingMode mode)
{
    return mode == RoutingMode::smart ? QStringLiteral("smart") : QStringLiteral("safe");
}

// Exactly "safe" or "smart"; anything else is no mode.
inline std::optional<RoutingMode> fromRawValue(const QString &raw)
{
    if (raw == QLatin1String("smart"))
        return RoutingMode::smart;
    if (raw == QLatin1String("safe"))
        return RoutingMode::safe;
    return std::nullopt;
}

} // namespace RoutingModes
