// SPDX-License-Identifier: MIT
#ifndef LOG_P_H
#define LOG_P_H

#include <QDebug>
#include <QLoggingCategory>
#include <QString>

namespace MZU {
namespace Internal {

/// The category of every line the library logs, "mzupdater", so that hosts can filter it.
/// Warnings by default; QT_LOGGING_RULES="mzupdater.debug=true" shows what a check did.
Q_DECLARE_LOGGING_CATEGORY(lcMzupdater)

/// One log line as qWarning() would print these items (spaces, quotes and all).
template <typename... Items> QString logLine(const Items &...items)
{
    QString line;
    {
        QDebug stream(&line);
        (void)(stream << ... << items);
    }
    if (line.endsWith(QLatin1Char(' ')))
        line.chop(1); // as the message handler drops it
    return line;
}

} // namespace Internal
} // namespace MZU

#endif // LOG_P_H
