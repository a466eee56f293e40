// SPDX-License-Identifier: MIT
#ifndef OFFER_P_H
#define OFFER_P_H

#include "mzu.h"

#include <QJsonDocument>

namespace MZU {
namespace Internal {

/// When a release with a "rollout" reaches an install: not before `installAt`, and every
/// install by `everyoneAt` (seconds since 1970, UTC). A malformed "rollout" reaches none.
struct Rollout
{
    bool present = false;
    bool malformed = false;
    qint64 installAt = 0;
    qint64 everyoneAt = 0;
};

/// How the "rollout" of @p release (its entry's members) reaches the install @p installId.
Rollout rolloutOf(const QVariantHash &release, const Version &version, const QString &installId);

/// True when @p release is held back from @p installId at @p now: its rollout has not
/// reached it, or is malformed. A "critical" release is never held back.
bool heldBack(const ApplicationInfo &release, const QString &installId, qint64 now);

/// True when the entry says "critical": true.
bool isCritical(const QVariantHash &release);

/// What @p appName running @p current is offered by @p manifest, whose releases for @p os
/// are @p catalogue, for @p installId at @p now.
Offer makeOffer(const QJsonDocument &manifest, const Catalogue &catalogue, const QString &appName,
    const Version &current, const QString &os, const QString &installId, qint64 now);

} // namespace Internal
} // namespace MZU

#endif // OFFER_P_H
