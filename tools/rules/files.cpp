// SPDX-License-Identifier: MIT
#include "rules/linter.h"

QJsonArray Linter::entryList(const QString &at, const QJsonObject &system, const QString &member)
{
    const QString what =
        member == QLatin1String("files") ? QStringLiteral("file") : QStringLiteral("setting");
    const QJsonValue list = system.value(member);
    if (!list.isUndefined() && !list.isArray())
        add(at + '/' + member, Rule::UnusableMember,
            QStringLiteral("%1 is %2, not an array: no %3 entry is read")
                .arg(inQuotes(member), typeOf(list), what));
    const QJsonArray entries = list.toArray();
    for (int k = 0; k < entries.size(); ++k) {
        if (!entries.at(k).isObject())
            add(QStringLiteral("%1/%2/%3").arg(at, member).arg(k), Rule::NotObject,
                QStringLiteral("%1 entry is %2, not an object; it is skipped")
                    .arg(what, typeOf(entries.at(k))));
    }
    return entries;
}

void Linter::entryRules(
    const QString &at, const QJsonObject &entry, Members members, const QString &released)
{
    misread(at + "/version", entry.value(QLatin1String("version")));
    misnamed(at, entry, members);
    unreleased(at + "/version", entry.value(QLatin1String("version")), released);
}

void Linter::files(const QString &at, const QJsonObject &system, const QString &released)
{
    const QJsonArray entries = entryList(at, system, QStringLiteral("files"));
    for (int k = 0; k < entries.size(); ++k) {
        const QString entryAt = at + QStringLiteral("/files/%1").arg(k);
        const QJsonObject entry = entries.at(k).toObject();
        const QJsonValue version = entry.value(QLatin1String("version"));
        const QVector<SkipReason> skips = entries.at(k).isObject()
            ? fileSkips({ Version(version.toString()), entry.toVariantHash() })
            : QVector<SkipReason>();
        for (const SkipReason &reason : skips) {
            if (reason.skip == Skip::NullVersion)
                nullVersion(
                    entryAt + "/version", version, QStringLiteral("the file entry is skipped"));
        }
        for (const SkipReason &reason : skips) {
            if (reason.skip != Skip::NullVersion)
                dropped(entryAt, entry, reason);
        }
        entryRules(entryAt, entry, Members::File, released);
        url(entryAt + "/url", entry.value(QLatin1String("url")));
        digest(entryAt, entry);
        outside(entryAt, entry);
    }
}

// The library hands "location" and "filename" over as written; a host that joins them to
// its installation folder without a check writes where they lead.
void Linter::outside(const QString &at, const QJsonObject &entry)
{
    static const QRegularExpression absolute(QStringLiteral("^([/\\\\]|[A-Za-z]:)"));
    static const QRegularExpression separator(QStringLiteral("[/\\\\]"));
    int depth = 0; // folders below the installation
    for (const char *member : { "location", "filename" }) {
        const QString text = entry.value(QLatin1String(member)).toString();
        QString why;
        if (absolute.match(text).hasMatch())
            why = QStringLiteral("%1 %2 is an absolute path: a careless host that joins it to its "
                                 "installation folder writes to %2 itself, overwriting what is "
                                 "there");
        for (const QString &segment : text.split(separator)) {
            if (segment == QLatin1String(".."))
                --depth;
            else if (!segment.isEmpty() && segment != QLatin1String("."))
                ++depth;
            if (depth < 0 && why.isEmpty())
                why = QStringLiteral("%1 %2 climbs above the installation folder with \"..\": a "
                                     "careless host writes outside its installation, overwriting "
                                     "what is there");
        }
        if (!why.isEmpty())
            return add(at + '/' + member, Rule::FileOutside,
                why.arg(inQuotes(QLatin1String(member)), inQuotes(text)));
    }
}

void Linter::digest(const QString &at, const QJsonObject &entry)
{
    const bool hashed = entry.contains(QLatin1String("sha256"));
    if (hashed || entry.contains(QLatin1String("size"))) {
        if (const QString problem = fileDigest(entry.toVariantHash()).problem; !problem.isEmpty())
            add(at + (problem.contains(QLatin1String("\"size\"")) ? "/size" : "/sha256"),
                Rule::FileDigest, problem + "; fileMatches() matches no file against this entry");
    }
    if (signedManifest && !hashed)
        add(at, Rule::UnhashedFile,
            QStringLiteral("file entry without \"sha256\" in a signed manifest: a host cannot tie "
                           "the file it downloads to the signature"));
}

void Linter::dropped(const QString &at, const QJsonObject &entry, const SkipReason &reason)
{
    const QJsonValue value = entry.value(reason.member);
    QString why = notText(reason.member, value);
    if (reason.skip == Skip::BadUrl && value.toString().contains('\\'))
        why = QStringLiteral("\"url\" %1 is not a valid URL: it holds a backslash where URLs "
                             "have \"/\"")
                  .arg(inQuotes(value.toString()));
    else if (reason.skip == Skip::BadUrl && value.isString() && !value.toString().isEmpty())
        why = QStringLiteral("\"url\" %1 is not a valid URL (%2)")
                  .arg(inQuotes(value.toString()),
                      QUrl(value.toString(), QUrl::TolerantMode).errorString().section(';', 0, 0));
    else if (!value.isUndefined() && !value.isString())
        why = inQuotes(reason.member) + " is " + typeOf(value) + " and reads as empty text";
    add(at + '/' + reason.member, Rule::FileDropped, why + "; the file entry is dropped");
}

void Linter::url(const QString &at, const QJsonValue &value)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return;
    static const QRegularExpression schemePattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const QString scheme = schemePattern.match(text).captured(1).toLower();
    const QUrl parsed(text, QUrl::TolerantMode);
    // One finding a place: a URL Qt refuses is dropped, and a Windows path is said to be one.
    if (text.contains('\\') && parsed.isValid() && scheme.size() != 1)
        add(at, Rule::UrlCharacters,
            QStringLiteral("the URL %1 holds backslashes: URLs separate with \"/\", and hosts "
                           "get the text as written")
                .arg(inQuotes(text)));
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); }))
        add(at, Rule::UrlCharacters,
            QStringLiteral("the URL %1 holds white space; write a space as %20")
                .arg(inQuotes(text)));
    static const QStringList schemes { "http", "https", "ftp", "file" };
    static const QRegularExpression noColon(
        QStringLiteral("^(https?|ftp|file)//"), QRegularExpression::CaseInsensitiveOption);
    const QString colonless = noColon.match(text).captured(1);
    if (!colonless.isEmpty()) {
        add(at, Rule::UrlScheme,
            QStringLiteral("the URL %1 lacks the colon after %2: write %2://")
                .arg(inQuotes(text), colonless));
    } else if (scheme.isEmpty()) {
        add(at, Rule::UrlScheme,
            QStringLiteral("the URL %1 has no scheme (such as https://): hosts get it as "
                           "written, relative to nothing")
                .arg(inQuotes(text)));
    } else if (scheme.size() == 1) {
        add(at, Rule::UrlScheme,
            QStringLiteral("the URL %1 is a Windows path, not a URL").arg(inQuotes(text)));
    } else if (!schemes.contains(scheme)) {
        const QString near = misspelled(scheme, schemes);
        add(at, Rule::UrlScheme,
            QStringLiteral("the URL %1 has the scheme %2, not http, https, ftp or file%3")
                .arg(inQuotes(text), inQuotes(scheme),
                    near.isEmpty() ? QString()
                                   : QStringLiteral("; did you mean %1?").arg(inQuotes(near))));
    }
    if (!parsed.userInfo().isEmpty())
        add(at, Rule::UrlCredentials,
            QStringLiteral("the URL %1 holds a user name or password: every host, and anyone "
                           "who reads the manifest, gets them")
                .arg(inQuotes(text)));
}
