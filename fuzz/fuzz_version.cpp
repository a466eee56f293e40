// SPDX-License-Identifier: MIT
// Version texts: the fast parser against the regular expression that defines the syntax,
// the order laws over three parsed versions, and printing then parsing again.
// Input: a JSON array of texts, or else up to three lines of bytes.
#include "fuzz.h"

#include "referenceversion.h"

#include <QJsonArray>

namespace {

MZU::Version parseBoth(const QString &text)
{
    // Numbers that are not zero and a suffix, to see that a failure resets the one and keeps
    // the other in both parsers alike.
    MZU::Version fast;
    fast.major = fast.minor = fast.patch = 7;
    fast.suffix = QStringLiteral("kept");
    MZU::Version reference = fast;
    const bool fastOk = fast.fromString(text);
    const bool referenceOk = Reference::parseVersion(text, reference);
    FUZZ_CHECK(fastOk == referenceOk);
    FUZZ_CHECK(fast.major == reference.major && fast.minor == reference.minor
        && fast.patch == reference.patch && fast.suffix == reference.suffix);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The reference that Qt 6 builds use must agree with QRegExp.
    MZU::Version qt6Reference;
    qt6Reference.major = qt6Reference.minor = qt6Reference.patch = 7;
    qt6Reference.suffix = QStringLiteral("kept");
    FUZZ_CHECK(Reference::parseWithRegularExpression(text, qt6Reference) == referenceOk);
    FUZZ_CHECK(qt6Reference == reference);
#endif

    const MZU::Version version(text);
    FUZZ_CHECK(
        version.isNull() == (version.major == 0 && version.minor == 0 && version.patch == 0));
    FUZZ_CHECK(MZU::Version(version.toString()) == version);
    if (!fastOk)
        FUZZ_CHECK(version == MZU::Version());
    return version;
}

void checkPair(const MZU::Version &a, const MZU::Version &b)
{
    FUZZ_CHECK(int(a < b) + int(a == b) + int(b < a) == 1);
    FUZZ_CHECK((a != b) == !(a == b));
    FUZZ_CHECK((a > b) == (b < a));
    FUZZ_CHECK((a <= b) == !(b < a));
    FUZZ_CHECK((a >= b) == !(a < b));
    FUZZ_CHECK((a == b) == (a.toString() == b.toString()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList texts;
    const QJsonDocument document = Fuzz::parse(data, size);
    if (document.isArray()) {
        for (const QJsonValue &value : document.array())
            texts.append(value.toString());
    } else {
        texts = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size))
                    .split(QLatin1Char('\n'));
    }
    MZU::Version v[3];
    for (int i = 0; i < 3 && i < texts.size(); ++i)
        v[i] = parseBoth(texts.at(i));
    for (const MZU::Version &a : v) {
        for (const MZU::Version &b : v) {
            checkPair(a, b);
            for (const MZU::Version &c : v) {
                if (a < b && b < c)
                    FUZZ_CHECK(a < c);
            }
        }
    }
    return 0;
}
