// SPDX-License-Identifier: MIT
#ifndef PEAKMEMORY_H
#define PEAKMEMORY_H

#include <QFile>
#include <QRegularExpression>
#include <QString>

// How far the process's resident memory peaks above where it stood at construction.
class PeakMemory
{
public:
    PeakMemory()
    {
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        measured =
            reset.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && reset.write("5") == 1;
        before = kib("VmRSS");
    }
    // 0 where the kernel cannot reset the peak.
    qint64 grownKiB() const { return measured ? kib("VmHWM") - before : 0; }

private:
    static qint64 kib(const char *field)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        const QRegularExpression pattern(QLatin1String(field) + QLatin1String(":\\s*(\\d+)"));
        return status.open(QIODevice::ReadOnly)
            ? pattern.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong()
            : 0;
    }
    bool measured = false;
    qint64 before = 0;
};

#endif // PEAKMEMORY_H
