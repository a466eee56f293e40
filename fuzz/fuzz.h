// SPDX-License-Identifier: MIT
#ifndef FUZZ_H
#define FUZZ_H

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace Fuzz {

// The running system's name, a near miss in letter case, another system and none.
QStringList osNames();

inline QJsonDocument parse(const uint8_t *data, size_t size)
{
    return QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
}

} // namespace Fuzz

#endif // FUZZ_H
