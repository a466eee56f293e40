#ifndef MESSAGELOG_H
#define MESSAGELOG_H

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

#endif // MESSAGELOG_H
