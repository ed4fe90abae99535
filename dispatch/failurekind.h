#pragma once

#include <QString>

// What a failed mail says about the next try. Temporary: the network or the server's state (4xx);
// tried again with a growing backoff. Permanent: the server refused this very mail (5xx after the
// login); kept, and tried again only at the longest interval. Configuration: the deployment is
// wrong (the login refused, an invalid value, TLS that cannot be agreed on); tried again only
// once the configuration changed.
enum class FailureKind { Temporary, Permanent, Configuration };

// "temporary", "permanent", "configuration": the names in a pending record.
inline QString failureKindName(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Permanent:
        return QStringLiteral("permanent");
    case FailureKind::Configuration:
        return QStringLiteral("configuration");
    case FailureKind::Temporary:
        break;
    }
    return QStringLiteral("temporary");
}

// Anything else (an older record without the field) reads as temporary.
inline FailureKind failureKindFrom(const QString& name)
{
    if (name == QLatin1String("permanent"))
        return FailureKind::Permanent;
    if (name == QLatin1String("configuration"))
        return FailureKind::Configuration;
    return FailureKind::Temporary;
}
