// SPDX-License-Identifier: MIT
// Structure-aware mutation shared by every target: an input that parses as JSON gets one of
// its nodes changed the way manifest authors get things wrong, then is written back. Bytes
// that are not JSON, and one input in eight anyway, go to libFuzzer's own byte mutation so
// that the parser's error paths stay covered.
#include "fuzz.h"

#include "mzu.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstring>
#include <random>

// A target that reads text as it stands asks for more of libFuzzer's byte mutations.
#ifndef FUZZ_BYTE_MUTATIONS_ONE_IN
#define FUZZ_BYTE_MUTATIONS_ONE_IN 8
#endif

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace {

const char *const words[] = { "1.0.0", "1.2.3-rc1", "0.0.0", "4294967296.0.0", "1.2", "v1.0.0",
    "01.002.0003", "1.2.3-", "2.0.0-beta.1", "true", "True", "", "Versions.json",
    "http://127.0.0.1/a b", "http://[::1", "http://h:port/x", "relative/path", "http://h//x",
    "http://u@h:99?q#f", "file:///x", "a:b/c", "/x", "?", "%zz" };
const char *const keys[] = { "name", "os", "version", "changelog", "tip", "files", "settings",
    "filename", "location", "url", "key", "type", "value", "apps" };

class Mutator
{
public:
    explicit Mutator(unsigned seed)
        : random(seed)
    {
    }

    int below(int n) { return n <= 0 ? 0 : int(random() % unsigned(n)); }
    template <typename T, size_t N> const T &pick(const T (&list)[N]) { return list[below(N)]; }

    QJsonValue scalar()
    {
        const QJsonValue values[] = { QJsonValue(), below(2) == 0, double(below(3)) - 1.0,
            QJsonArray(), QJsonObject { { QLatin1String(pick(keys)), QLatin1String(pick(words)) } },
            Fuzz::osNames().at(below(Fuzz::osNames().size())), QLatin1String(pick(words)) };
        return pick(values);
    }

    QString tweakVersion(QString text)
    {
        const int at = below(text.size() + 1);
        const QString inserts[] = { QChar(u'0' + below(10)), QStringLiteral("."),
            QStringLiteral("-"), QChar(0x0663) /* a digit of another script */,
            QStringLiteral("4294967296"), QStringLiteral(" "), QStringLiteral("v") };
        switch (below(4)) {
        case 0:
            return text.remove(at, 1);
        case 1:
            return text + QLatin1String(pick(words));
        case 2:
            return MZU::Version(text).toString();
        }
        return text.insert(at, pick(inserts));
    }

    QJsonValue mutateNode(const QJsonValue &value)
    {
        if (below(6) == 0 || !(value.isString() || value.isArray() || value.isObject()))
            return scalar(); // a change of type
        if (value.isString())
            return below(3) == 0 ? Fuzz::osNames().at(below(Fuzz::osNames().size()))
                                 : QJsonValue(tweakVersion(value.toString()));
        if (value.isArray()) {
            QJsonArray array = value.toArray();
            const int at = below(array.size());
            const int to = below(array.size() + 1);
            switch (array.isEmpty() ? 3 : below(4)) {
            case 0: // duplicate
                array.insert(to, array.at(at));
                break;
            case 1:
                array.removeAt(at);
                break;
            case 2: { // move
                const QJsonValue moved = array.takeAt(at);
                array.insert(qMin(to, array.size()), moved);
                break;
            }
            default:
                array.insert(to, scalar());
            }
            return array;
        }
        QJsonObject object = value.toObject();
        const QString key = QLatin1String(pick(keys));
        if (!object.isEmpty() && below(3) == 0)
            object.remove(object.keys().at(below(object.size())));
        else if (!object.isEmpty() && below(2) == 0)
            object.insert(key, object.begin().value()); // a member under the wrong name
        else
            object.insert(key, scalar());
        return object;
    }

    // Rebuilds only the path down to the node numbered @p index in pre-order.
    QJsonValue mutateAt(const QJsonValue &value, int &index)
    {
        if (index-- == 0)
            return mutateNode(value);
        if (value.isArray()) {
            QJsonArray array = value.toArray();
            for (int i = 0; i < array.size() && index >= 0; ++i)
                array[i] = mutateAt(array.at(i), index);
            return array;
        }
        if (value.isObject()) {
            QJsonObject object = value.toObject();
            for (auto it = object.begin(); it != object.end() && index >= 0; ++it)
                it.value() = mutateAt(it.value(), index);
            return object;
        }
        return value;
    }

private:
    std::minstd_rand random;
};

int countNodes(const QJsonValue &value)
{
    int count = 1;
    if (value.isArray()) {
        for (const QJsonValue &element : value.toArray())
            count += countNodes(element);
    } else if (value.isObject()) {
        for (const QJsonValue &member : value.toObject())
            count += countNodes(member);
    }
    return count;
}

} // namespace

QStringList Fuzz::osNames()
{
    static const QStringList names { MZU::osString(), MZU::osString().toUpper(),
        QStringLiteral("mac-arm64"), QString() };
    return names;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned seed)
{
    Mutator mutator(seed);
    const QJsonDocument document = Fuzz::parse(data, size);
    if (document.isNull() || mutator.below(FUZZ_BYTE_MUTATIONS_ONE_IN) == 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    const QJsonValue root =
        document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
    int index = mutator.below(countNodes(root));
    const QJsonValue mutated = mutator.mutateAt(root, index);
    const QByteArray bytes = mutated.isArray()
        ? QJsonDocument(mutated.toArray()).toJson(QJsonDocument::Compact)
        : mutated.isObject() ? QJsonDocument(mutated.toObject()).toJson(QJsonDocument::Compact)
                             : QByteArray();
    if (bytes.isEmpty() || size_t(bytes.size()) > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, bytes.constData(), size_t(bytes.size()));
    return size_t(bytes.size());
}
