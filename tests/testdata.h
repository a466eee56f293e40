// SPDX-License-Identifier: MIT
#ifndef TESTDATA_H
#define TESTDATA_H

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

// The bytes of tests/data/@p path; a file missing is a broken test: it aborts.
inline QByteArray testData(const QString &path)
{
    QFile file(QStringLiteral(MZUPDATER_TEST_DATA "/") + path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

#endif // TESTDATA_H
