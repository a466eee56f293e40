// SPDX-License-Identifier: MIT
#ifndef SOURCE_SCANNER_H
#define SOURCE_SCANNER_H

#include "source/manifest.h"
#include "source/places.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>

// One pass over JSON text, without recursion (a manifest may nest deeper than the stack
// allows). It finds the first character that is not JSON, as exactly as an editor would
// show it, repeated members, and the offsets of the values asked for. It accepts what Qt's
// parser accepts (raw control characters in strings, unknown escapes, "1." and ".5"), so
// that it can place findings in any text hosts read.
class Scanner
{
public:
    explicit Scanner(const QByteArray &text)
        : begin(text.constData())
        , p(begin)
        , end(begin + text.size())
    {
    }

    const QSet<QString> *wanted = nullptr;
    QHash<QString, Place> *offsets = nullptr;
    QVector<RepeatedKey> *repeated = nullptr;
    QVector<StringFault> *faults = nullptr; // their pointers need the keys: with repeated
    int errorOffset = -1;
    QString errorText;

    bool run();

private:
    struct Member
    {
        int offset; // of its value, the last one where it is repeated
        int end; // one past that value
        int name; // of its name
    };
    struct Level
    {
        bool object;
        bool tracked; // its pointer is wanted, or leads to one that is
        int index = 0;
        QString pointer; // only when tracked
        QString key; // of the member being read in it, when its name was decoded
        QHash<QString, Member> members; // read so far, for objects, by name
        int repeat = -1; // the entry in *repeated of the member being read, or -1
        int name = 0; // the offset of that member's name
    };

    bool fail(const char *at, const QString &message)
    {
        errorOffset = int(at - begin);
        errorText = message;
        return false;
    }
    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
            ++p;
    }
    bool unexpected(const QString &expected);
    bool string(QString *decoded);
    bool number();
    bool value(int parents);
    void ended(Level &level); // the value of its current member ends at p
    void closed(); // the innermost level ends at p
    void noteMember(Level &level, const QString &key, int offset);
    QString pointerOf(int levelCount) const;
    // The faults found from @p first on are in the value (or member name) just read.
    void placeFaults(int first)
    {
        for (int i = first; faults && i < faults->size(); ++i)
            (*faults)[i].pointer = pointerOf(depth);
    }
    // The reference token of the value being read in @p level.
    static QString token(const Level &level)
    {
        return level.object ? pointerToken(level.key) : QString::number(level.index);
    }

    const char *begin;
    const char *p;
    const char *end;
    QVector<Level> levels; // kept when left, so that their storage is reused
    int depth = 0; // levels in use
};

#endif // SOURCE_SCANNER_H
