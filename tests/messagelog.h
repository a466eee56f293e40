// SPDX-License-Identifier: MIT
#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QFile>
#include <QJsonDocument>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>

#include <utility>

// Collects every message while it lives, from any thread.
class MessageLog
{
public:
    MessageLog()
    {
        previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
                QMutexLocker locker(&mutex);
                lines.append(text);
            });
    }
    ~MessageLog() { qInstallMessageHandler(previous); }

    static QStringList take()
    {
        QMutexLocker locker(&mutex);
        return std::exchange(lines, {});
    }

private:
    static inline QMutex mutex;
    static inline QStringList lines;
    QtMessageHandler previous;
};

// @p lines, each cut short where the line expected in its place ends in "...".
inline QStringList cut(QStringList lines, const QStringList &expected)
{
    for (int i = 0; i < qMin(lines.size(), expected.size()); ++i)
        if (expected.at(i).endsWith(QLatin1String("...")))
            lines[i] = lines.at(i).left(expected.at(i).size() - 3) + QLatin1String("...");
    return lines;
}

// The download's warnings, with %1 standing for the address.
inline QString namError(const QString &text)
{
    return QStringLiteral("(MZUpdater JSON) NAM error  \"%1\"").arg(text);
}

// Qt's own words and offset, which differ between Qt versions.
inline QString notJson(const QByteArray &body)
{
    QJsonParseError error;
    QJsonDocument::fromJson(body, &error);
    const QByteArray before = body.left(error.offset);
    return QStringLiteral("Cannot read %1 - not JSON: ") // %1: the address, filled in later
        + QStringLiteral("%1 at %2:%3 (offset %4)")
              .arg(error.errorString())
              .arg(before.count('\n') + 1)
              .arg(error.offset - before.lastIndexOf('\n')) // ASCII bodies only
              .arg(error.offset);
}

#endif // MESSAGELOG_H
