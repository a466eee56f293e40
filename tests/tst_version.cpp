#include "referenceversion.h"

#include <QtTest>

#include <random>

using MZU::Version;

class tst_Version : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void compare_data();
    void compare();
    void matchesRegExpParser();
};

void tst_Version::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("printed"); // after parsing into a version with the suffix "old"
    const auto row = [](const QByteArray &name, const QString &text, const char *printed) {
        QTest::newRow(name) << text << QString(printed);
    };
    row("dotted suffix", "2.0.0-beta.1", "2.0.0-beta.1");
    row("lone dash", "1.2.3-", "1.2.3");
    row("suffix kept as is", "1.2.3--a %1\n", "1.2.3--a %1\n");
    row("zero parses", "0.0.0", "0.0.0");
    row("leading zeros, 32 bits", "0000000000004294967295.01.7", "4294967295.1.7");
    row("overflow to 0", "4294967296.1.18446744073709551616-x", "0.1.0-x");
    // Digits of other scripts match "\d" and convert as QString::toUInt does: to 0 on both
    // Qt 5.15 and Qt 6.4. A digit outside the BMP is two code units, neither a digit.
    row("other scripts' digits", QString::fromUtf16(u"\u0661.\uFF12.3"), "0.0.3");
    row("digit beyond the BMP", QString::fromUtf16(u"1.2.\U0001D7CF"), "0.0.0-old");
    // Not a version: the numbers are zeroed and the suffix kept.
    for (const char *text : { "1.2", "1.2.3.4", "1.2.3beta", "", "v1.2.3", " 1.2.3", "1.2.3 " })
        row("bad '" + QByteArray(text) + "'", text, "0.0.0-old");
}

void tst_Version::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, printed);
    const bool parsed = printed != "0.0.0-old";
    Version version;
    version.suffix = "old";
    QCOMPARE(version.fromString(text), parsed);
    QCOMPARE(version.toString(), printed);
    QCOMPARE(Version(text).toString(), parsed ? printed : "0.0.0");
}

// One table of ordered pairs for all six operators, each tried both ways round.
void tst_Version::compare_data()
{
    QTest::addColumn<Version>("lhs");
    QTest::addColumn<Version>("rhs");
    QTest::addColumn<int>("order"); // the sign of lhs - rhs
    const auto row = [](const QString &lhs, const QString &rhs, int order) {
        const char *sign = order < 0 ? " < " : order > 0 ? " > " : " == ";
        QTest::newRow(qPrintable(lhs + sign + rhs)) << Version(lhs) << Version(rhs) << order;
    };
    row("1.2.3", "1.2.4", -1);
    row("1.2.4", "1.3.0", -1);
    row("2.0.0", "1.99.99", 1);
    row("1.10.0", "1.9.0", 1);
    row("2147483648.0.0", "1.0.0", 1); // unsigned, not signed
    row("1.2.3-x", "1.2.3-x", 0);
    row("1.2.3", "1.2.3-x", -1);
    row("1.2.3-alpha", "1.2.3-beta", -1);
    row("1.2.3-rc10", "1.2.3-rc9", -1);
    row("1.2.3-B", "1.2.3-a", -1);
    row("1.2.3", "1.2.2-zzz", 1);
    row(QString::fromUtf16(u"1.0.0-\u00e9"), "1.0.0-z", 1); // not by locale
    // UTF-16 code units, not code points: a surrogate sorts below U+FF11.
    row(QString::fromUtf16(u"1.0.0-\U0001D7CE"), QString::fromUtf16(u"1.0.0-\uFF11"), -1);
}

void tst_Version::compare()
{
    QFETCH(Version, lhs);
    QFETCH(Version, rhs);
    QFETCH(int, order);
    // The same operators on plain numbers give the expected truth table.
    const auto all = [](const auto &a, const auto &b) {
        return QVector<bool> { a<b, a> b, a == b, a != b, a <= b, a >= b };
    };
    QCOMPARE(all(lhs, rhs), all(order, 0));
    QCOMPARE(all(rhs, lhs), all(0, order));
}

// The parser against the regular expression that defines the syntax, over texts made to
// sit near its edges: other scripts' digits, overflow, odd separators. On Qt 5 the
// QRegularExpression form that Qt 6 builds use is held to QRegExp too.
void tst_Version::matchesRegExpParser()
{
    std::mt19937 random(20240611u);
    const auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    const QStringList numbers { "0001", "4294967295", "4294967296", "000000000000004294967295",
        QString(60, '9') };
    const QString digits = QString::fromUtf16(u"0123456789\u0660\u0663\u0966\u06F0\uFF10\uFF11");
    const QStringList noise { ".", "-", " ", "v", "\n", "%1", QString::fromUtf16(u"\u00e9"),
        QString::fromUtf16(u"\U0001D7CE"), QString(QChar(0xd835)), "" };
    const auto number = [&]() {
        QString text = pick(3) ? QString() : numbers.at(pick(numbers.size()));
        for (int n = text.isEmpty() ? 1 + pick(pick(2) ? 3 : 12) : 0; n > 0; --n)
            text += digits.at(pick(pick(3) ? 10 : digits.size()));
        return text;
    };
    int matched = 0;
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        QString text = number() + '.' + number() + '.' + number();
        if (pick(2))
            text += '-' + noise.at(pick(noise.size())) + number();
        if (pick(2)) // damaged anywhere
            text.replace(pick(text.size() + 1), pick(3), noise.at(pick(noise.size())));
        const auto parse = [&text](bool (*parser)(const QString &, Version &)) {
            Version version;
            version.suffix = "prior";
            const bool ok = parser(text, version);
            return QString::number(ok) + ' ' + version.toString() + " <- " + text;
        };
        const QString expected = parse(Reference::parseVersion);
        QCOMPARE(parse([](const QString &t, Version &v) { return v.fromString(t); }), expected);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        QCOMPARE(parse(Reference::parseWithRegularExpression), expected);
#endif
        matched += expected.startsWith('1');
    }
    // The generator must reach both outcomes.
    QVERIFY2(matched > count / 5 && matched < count * 4 / 5, qPrintable(QString::number(matched)));
}

QTEST_APPLESS_MAIN(tst_Version)
#include "tst_version.moc"
