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
        QMutexLocker locker(&mutex);
        return std::exchange(messages, {});
    }

private:
    static void collect(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        QMutexLocker locker(&mutex);
        messages.append(text);
    }
    static inline QMutex mutex;
    static inline QStringList messages;
    QtMessageHandler previous;
};

// Empty when the lines match; an expected line ending in "..." matches any with its start.
inline QString mismatch(const QStringList &actual, const QStringList &expected)
{
    bool same = actual.size() == expected.size();
    for (int i = 0; same && i < actual.size(); ++i) {
        const QString &line = expected.at(i);
        same = line.endsWith(QLatin1String("...")) ? actual.at(i).startsWith(line.chopped(3))
                                                   : actual.at(i) == line;
    }
    return same ? QString() : "got:\n" + actual.join('\n') + "\nexpected:\n" + expected.join('\n');
}
#define COMPARE_LINES(actual, expected)                                                            \
    do {                                                                                           \
        const QString why = mismatch(actual, expected);                                            \
        QVERIFY2(why.isEmpty(), qPrintable(why));                                                  \
    } while (false)

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
