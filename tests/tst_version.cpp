// SPDX-License-Identifier: MIT
#include "mzu.h"

#include <QtTest>

using MZU::Version;

class tst_Version : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void compare();
};

void tst_Version::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("printed"); // after parsing into a version with the suffix "old"
    const auto row = [](const QByteArray &name, const QString &text, const char *printed) {
        QTest::newRow(name) << text << QString(printed);
    };
    row("lone dash", "1.2.3-", "1.2.3");
    row("suffix kept as is", "1.2.3--a.1 %1\n", "1.2.3--a.1 %1\n");
    row("zero parses", "0.0.0", "0.0.0");
    row("leading zeros, 32 bits", "0000000000004294967295.01.7", "4294967295.1.7");
    row("overflow to 0", "4294967296.1.18446744073709551616-x", "0.1.0-x");
    // Digits of other scripts match "\d" and convert as QString::toUInt does: to 0 on both
    // Qt 5.15 and Qt 6.4. A digit outside the BMP is two code units, neither a digit.
    row("other scripts' digits", QString::fromUtf16(u"\u0661.\uFF12.3"), "0.0.3");
    row("digit beyond the BMP", QString::fromUtf16(u"1.2.\U0001D7CF"), "0.0.0-old");
    // Not a version: the numbers are zeroed and the suffix kept.
    for (const char *text :
        { "1.2", "1..3", "1.2.3.4", "1.2.3beta", "", "v1.2.3", " 1.2.3", "1.2.3 ", "1.2.3\n" })
        row("bad '" + QByteArray(text) + "'", text, "0.0.0-old");
}

void tst_Version::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, printed);
    const bool parsed = printed != "0.0.0-old";
    Version version("0.0.0-old");
    QCOMPARE(version.fromString(text), parsed);
    QCOMPARE(version.toString(), printed);
}

// Every pair of a strictly ascending list through all six operators. Numbers come first,
// unsigned; at equal numbers no suffix, then suffixes as UTF-16 code units, not by locale.
void tst_Version::compare()
{
    const QStringList ascending { "1.0.0", "1.0.0-z", QString::fromUtf16(u"1.0.0-\u00e9"),
        QString::fromUtf16(u"1.0.0-\U0001D7CE"), QString::fromUtf16(u"1.0.0-\uFF11"), "1.2.2-zzz",
        "1.2.3", "1.2.3-B", "1.2.3-a", "1.2.3-rc10", "1.2.3-rc9", "1.2.4", "1.3.0", "1.9.0",
        "1.10.0", "1.99.99", "2.0.0", "2147483648.0.0" };
    const auto all = [](const auto &a, const auto &b) {
        return QVector<bool> { a<b, a> b, a == b, a != b, a <= b, a >= b };
    };
    for (const QString &a : ascending) {
        for (const QString &b : ascending)
            QVERIFY2(all(Version(a), Version(b)) == all(ascending.indexOf(a), ascending.indexOf(b)),
                qPrintable(a + " vs " + b));
    }
    // Equal versions hash alike, as QSet needs; a version prints as itself.
    QCOMPARE(QSet<Version>({ Version("1.2.3-rc1"), Version("1.2.3-rc1") }).size(), 1);
    QString printed;
    QDebug(&printed) << Version("1.2.3-rc1") << 4;
    QCOMPARE(printed, "MZU::Version(1.2.3-rc1) 4 ");
}

QTEST_APPLESS_MAIN(tst_Version)
#include "tst_version.moc"
