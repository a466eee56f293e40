#include "manifest/manifest_p.h"
#include "mzu.h"

#include <QtTest>

#include <algorithm>
#include <random>

using MZU::Version;

class tst_Version : public QObject
{
    Q_OBJECT

private:
    void comparisonRows();

private Q_SLOTS:
    void parse_data();
    void parse();
    void less_data() { comparisonRows(); }
    void less();
    void equal_data() { comparisonRows(); }
    void equal();
    void lessOrEqual_data() { comparisonRows(); }
    void lessOrEqual();
    void matchesRegExpParser();
};

void tst_Version::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<uint>("major");
    QTest::addColumn<uint>("minor");
    QTest::addColumn<uint>("patch");
    QTest::addColumn<QString>("suffix"); // each parse starts from the suffix "old"
    QTest::addColumn<QString>("printed");

    const auto ok = [](const char *name, const QString &text, uint major, uint minor, uint patch,
                        const QString &suffix, const QString &printed) {
        QTest::newRow(name) << text << true << major << minor << patch << suffix << printed;
    };
    const auto bad = [](const char *name, const QString &text) {
        QTest::newRow(name) << text << false << 0u << 0u << 0u << QString("old") << "0.0.0-old";
    };
    ok("plain", "1.2.3", 1, 2, 3, "", "1.2.3");
    ok("leading zeros", "01.002.0003", 1, 2, 3, "", "1.2.3");
    ok("dotted suffix", "2.0.0-beta.1", 2, 0, 0, "beta.1", "2.0.0-beta.1");
    ok("lone dash", "1.2.3-", 1, 2, 3, "", "1.2.3");
    ok("double dash", "1.2.3--x", 1, 2, 3, "-x", "1.2.3--x");
    ok("suffix with anything", "1.2.3- a\nb%1", 1, 2, 3, " a\nb%1", "1.2.3- a\nb%1");
    ok("zero parses", "0.0.0", 0, 0, 0, "", "0.0.0");
    ok("max 32 bits", "4294967295.4294967295.4294967295", 4294967295u, 4294967295u, 4294967295u, "",
        "4294967295.4294967295.4294967295");
    ok("major overflow", "4294967296.0.0", 0, 0, 0, "", "0.0.0");
    ok("minor overflow", "1.4294967296.0", 1, 0, 0, "", "1.0.0");
    ok("patch 2^64", "1.1.18446744073709551616-x", 1, 1, 0, "x", "1.1.0-x");
    ok("zeros then max", "0000000000004294967295.0.7", 4294967295u, 0, 7, "", "4294967295.0.7");
    // Other scripts' digits match the pattern, but the conversion takes ASCII only.
    ok("arabic-indic digit", QString::fromUtf16(u"\u0663.1.1"), 0, 1, 1, "", "0.1.1");
    bad("two numbers", "1.2");
    bad("four numbers", "1.2.3.4");
    bad("suffix without dash", "1.2.3beta");
    bad("empty", "");
    bad("leading v", "v1.2.3");
    bad("leading space", " 1.2.3");
    bad("trailing space", "1.2.3 ");
    bad("empty part", "1..3");
    bad("sign", "+1.2.3");
    bad("surrogate-pair digit", QString::fromUtf16(u"1.2.\U0001D7CE"));
}

void tst_Version::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, parsed);
    QFETCH(uint, major);
    QFETCH(uint, minor);
    QFETCH(uint, patch);
    QFETCH(QString, suffix);
    QFETCH(QString, printed);

    Version version;
    version.suffix = "old";
    QCOMPARE(version.fromString(text), parsed);
    QCOMPARE(version.major, major);
    QCOMPARE(version.minor, minor);
    QCOMPARE(version.patch, patch);
    QCOMPARE(version.suffix, suffix);
    QCOMPARE(version.toString(), printed);

    const Version constructed(text);
    QCOMPARE(constructed.isNull(), major == 0 && minor == 0 && patch == 0);
    QCOMPARE(constructed.suffix, parsed ? suffix : QString());
}

// One table of ordered pairs for all six operators.
void tst_Version::comparisonRows()
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
    row("1.3.0", "2.0.0", -1);
    row("2.0.0", "1.99.99", 1);
    row("1.10.0", "1.9.0", 1);
    row("1.2.10", "1.2.9", 1);
    row("2147483648.0.0", "1.0.0", 1); // unsigned, not signed
    row("4294967295.0.0", "2147483648.0.0", 1);
    row("1.2.3", "1.2.3", 0);
    row("01.2.3", "1.2.3", 0);
    row("1.2.3-", "1.2.3", 0);
    row("1.2.3-x", "1.2.3-x", 0);
    row("1.2.3", "1.2.3-x", -1);
    row("1.2.3", "1.2.3-alpha", -1);
    row("1.2.3-alpha", "1.2.3-beta", -1);
    row("1.2.3-beta", "1.2.3-rc1", -1);
    row("1.2.3-rc10", "1.2.3-rc9", -1);
    row("1.2.3-B", "1.2.3-a", -1);
    row("1.2.3-a", "1.2.3-ab", -1);
    row("1.2.3", "1.2.2-zzz", 1);
    row("1.2.3-zzz", "1.2.4", -1);
    row(QString::fromUtf16(u"1.0.0-\u00e9"), "1.0.0-z", 1);
    // UTF-16 code units, not code points: a surrogate sorts below U+FF11.
    row(QString::fromUtf16(u"1.0.0-\U0001D7CE"), QString::fromUtf16(u"1.0.0-\uFF11"), -1);
    row("0.0.0", "0.0.0", 0);
    row("0.0.0", "0.0.1", -1);
}

// Each operator both ways round: exactly one of <, == and > holds for every pair.
void tst_Version::less()
{
    QFETCH(Version, lhs);
    QFETCH(Version, rhs);
    QFETCH(int, order);
    QCOMPARE(lhs < rhs, order < 0);
    QCOMPARE(rhs<lhs, order> 0);
    QCOMPARE(lhs > rhs, order > 0);
    QCOMPARE(rhs > lhs, order < 0);
}

void tst_Version::equal()
{
    QFETCH(Version, lhs);
    QFETCH(Version, rhs);
    QFETCH(int, order);
    QCOMPARE(lhs == rhs, order == 0);
    QCOMPARE(rhs == lhs, order == 0);
    QCOMPARE(lhs != rhs, order != 0);
    QCOMPARE(rhs != lhs, order != 0);
}

void tst_Version::lessOrEqual()
{
    QFETCH(Version, lhs);
    QFETCH(Version, rhs);
    QFETCH(int, order);
    QCOMPARE(lhs <= rhs, order <= 0);
    QCOMPARE(rhs <= lhs, order >= 0);
    QCOMPARE(lhs >= rhs, order >= 0);
    QCOMPARE(rhs >= lhs, order <= 0);
}

static QString escaped(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out += c.unicode() >= 0x20 && c.unicode() < 0x7f
            ? QString(c)
            : QString("\\u%1").arg(c.unicode(), 4, 16, QChar('0'));
    return out;
}

static QString show(bool result, const Version &v)
{
    return QString("%1 %2.%3.%4 [%5]")
        .arg(result)
        .arg(v.major)
        .arg(v.minor)
        .arg(v.patch)
        .arg(escaped(v.suffix));
}

// The fast parser against the regular expression that defines the syntax, over texts
// made to sit near its edges: other scripts' digits, overflow, odd separators.
void tst_Version::matchesRegExpParser()
{
    std::mt19937 random(20240611u);
    const auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    const QStringList numbers { "0", "7", "42", "00", "0001", "4294967295", "4294967296",
        "4294967294", "42949672950", "9999999999", "18446744073709551615", "18446744073709551616",
        "000000000000004294967295", "1234567890123456789012345678901234567890" };
    const QString foreignDigits = QString::fromUtf16(u"\u0660\u0663\u0966\u06F0\uFF10\uFF11");
    const QString surrogateDigit = QString::fromUtf16(u"\U0001D7CE");
    const QStringList noise { ".", "-", "--", " ", "v", "a", "Z", "\n", "\t", "+", "%1",
        QString::fromUtf16(u"\u00e9"), surrogateDigit, QString(QChar(0xd835)), "" };
    const auto number = [&]() {
        switch (pick(6)) {
        case 0:
            return numbers.at(pick(numbers.size()));
        case 1: { // digits mixed from several scripts
            QString digits;
            for (int n = 1 + pick(12); n > 0; --n)
                digits += pick(3) ? QString(QChar('0' + pick(10)))
                                  : QString(foreignDigits.at(pick(foreignDigits.size())));
            return digits;
        }
        case 2:
            return QString(pick(40), QChar('0')) + QString::number(random());
        case 3:
            return pick(4) ? surrogateDigit : QString();
        default:
            return QString::number(random() % 1000);
        }
    };

    int matched = 0;
    int foreignMatched = 0;
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        QString text;
        if (pick(4)) { // shaped like a version, then perhaps damaged
            text = number() + '.' + number() + '.' + number();
            if (pick(2))
                text += '-' + noise.at(pick(noise.size())) + number();
            for (int damage = pick(3) ? 0 : 1 + pick(2); damage > 0; --damage) {
                const int at = pick(text.size() + 1);
                const QString piece = noise.at(pick(noise.size()));
                if (pick(2) && at < text.size())
                    text.replace(at, 1, piece);
                else
                    text.insert(at, piece);
            }
        } else {
            for (int parts = pick(8); parts > 0; --parts)
                text += pick(2) ? number() : noise.at(pick(noise.size()));
        }

        Version fast;
        Version reference;
        fast.suffix = reference.suffix = "prior";
        const bool fastResult = fast.fromString(text);
        const bool referenceResult = MZU::Internal::parseVersionWithRegExp(text, reference);
        if (fastResult != referenceResult || fast != reference) {
            QFAIL(qPrintable(escaped(text) + ": fast " + show(fastResult, fast) + ", reference "
                + show(referenceResult, reference)));
        }
        if (referenceResult) {
            ++matched;
            const QString numbersPart = text.left(text.indexOf('-'));
            if (std::any_of(numbersPart.begin(), numbersPart.end(),
                    [](QChar c) { return c.isDigit() && c.unicode() > '9'; }))
                ++foreignMatched;
        }
    }
    // The generator must reach both outcomes, and other scripts' digits inside a match.
    QVERIFY2(matched > count / 5 && matched < count * 4 / 5, qPrintable(QString::number(matched)));
    QVERIFY2(foreignMatched > 1000, qPrintable(QString::number(foreignMatched)));
}

QTEST_APPLESS_MAIN(tst_Version)
#include "tst_version.moc"
