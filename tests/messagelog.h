#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QJsonDocument>
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <utility>

// Collects every message while it lives, from any thread.
class MessageLog
{
public:
    MessageLog() { previous = qInstallMessageHandler(collect); }
    ~MessageLog() { qInstallMessageHandler(previous); }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    static QStringList take()
    {
        QMutexLocker locker(&mutex());
        return std::exchange(messages(), {});
    }

private:
    static void collect(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        QMutexLocker locker(&mutex());
        messages().append(text);
    }
    static QMutex &mutex()
    {
        static QMutex instance;
        return instance;
    }
    static QStringList &messages()
    {
        static QStringList instance;
        return instance;
    }
    QtMessageHandler previous;
};

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
    return QStringLiteral("Cannot read  \"%1\"  - not JSON: \"") + error.errorString()
        + "\" at offset " + QString::number(error.offset);
}

#endif // MESSAGELOG_H
