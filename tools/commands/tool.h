// SPDX-License-Identifier: MIT
#ifndef COMMANDS_TOOL_H
#define COMMANDS_TOOL_H

#include "formats/formats.h"
#include "rules/lint.h"
#include "source/manifest.h"
#include "source/signature.h"

#include "manifest/manifest_p.h"
#include "mzu.h"

#include <QCommandLineParser>
#include <QJsonObject>

#include <cstdio>

// clang-format off
enum ExitCode { Clean = 0, WarningsOnly = 1, Errors = 2, Unreadable = 3, Refused = 4, BadUsage = 64 };
// clang-format on

/// @p text in double quotes, escaped for a terminal or a log.
QString quotedEscaped(const QString &text);

void write(FILE *stream, const QByteArray &bytes);

// Learns which application and OS entry a walk took, to explain an empty result.
class EntryObserver : public MZU::Internal::WalkObserver
{
public:
    int app = -1;
    int os = -1;
    int dropped = 0; // entries in the window that hosts drop as incomplete
    void skipped(MZU::Internal::Skip reason, const MZU::Internal::WalkPlace &) override
    {
        using MZU::Internal::Skip; // NoFilename, NoLocation, BadUrl and EmptyKey, in this order
        dropped += reason >= Skip::NoFilename && reason <= Skip::EmptyKey;
    }
    void entered(MZU::Internal::Walk, int appIndex, int osIndex) override
    {
        app = appIndex;
        os = osIndex;
    }
};

struct Command;

class Tool
{
public:
    int run(const QStringList &arguments);
    // The commands.
    int check();
    int files() { return list(true); }
    int settings() { return list(false); }
    int lint();
    int verify();

private:
    int fail(int code, const QString &message);
    QString parse(const Command &command, const QStringList &arguments); // the error, or empty
    // Not parser.isSet(): it warns of an option that this command does not define.
    bool isSet(const QString &name) const { return parser.optionNames().contains(name); }
    QString value(const QString &name) const
    {
        return isSet(name) ? parser.value(name) : QString();
    }
    bool version(const QString &name, MZU::Version &version, QString &error) const;
    int load();
    int read(const QString &source, Manifest &manifest, LoadError &error, Verified &verified);
    QString help(const Command &command);
    int list(bool files);
    QString emptyBecause(const EntryObserver &observer, const QString &what) const;
    void print(const QJsonObject &object) { write(stdout, indentedJson(object)); }
    void print(const QString &text) { write(stdout, text.toUtf8()); }

    QCommandLineParser parser;
    Format format = Format::Text;
    QStringList sources;
    QString os;
    QString app;
    MZU::Version hostVersion; // the version the host runs (--current) or moves from (--from)
    MZU::Version targetVersion; // the version it moves to (--to)
    Manifest manifest;
    QVector<MZU::Internal::PublicKey> keys;
};

#endif // COMMANDS_TOOL_H
