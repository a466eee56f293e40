// SPDX-License-Identifier: MIT
// The keys of MZUPDATER_TRUSTED_KEYS are trusted from the start. Built from the signature
// code alone, with two keys compiled in, since the library under test has none.
#include "download/signature_p.h"
#include "mzu.h"

#include <QtTest>

Q_LOGGING_CATEGORY(MZU::Internal::lcMzupdater, "mzupdater")
// Nothing here may download.
std::atomic<int> MZU::Internal::transferLimitMs { 0 };
MZU::Internal::Fetched MZU::Internal::fetch(
    MZU::Internal::Session &, const QString &address, int, qint64)
{
    qFatal("unexpected download of %s", qPrintable(address));
}

class tst_CompiledKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void trustedFromStart();
};

void tst_CompiledKeys::trustedFromStart()
{
    QCOMPARE(MZU::trustedKeys(), QStringLiteral(MZUPDATER_EXPECTED_KEYS).split(','));
    QVERIFY(MZU::setTrustedKeys({}));
    QCOMPARE(MZU::trustedKeys(), QStringList());
}

QTEST_APPLESS_MAIN(tst_CompiledKeys)
#include "tst_compiledkeys.moc"
