// SPDX-License-Identifier: MIT
#include "bench.h"

#include "download/signature_p.h"

#include <QJsonDocument>

#include <benchmark/benchmark.h>
#include <sodium.h>

using MZU::Internal::PublicKey;
using MZU::Internal::Verification;

namespace {

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

unsigned char *bytes(QByteArray &array)
{
    return reinterpret_cast<unsigned char *>(array.data());
}

// A 1 MB manifest signed as minisign signs it, with a key made here: the tests hold the
// format to minisign's, this times the verification.
struct Signed
{
    Signed()
    {
        if (sodium_init() < 0)
            qFatal("libsodium failed to start");
        QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
        key.key = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
        key.id = QByteArray(8, '\0');
        crypto_sign_keypair(bytes(key.key), bytes(secret));
        randombytes_buf(key.id.data(), size_t(key.id.size()));
        key.text = QString::fromLatin1(("Ed" + key.id + key.key).toBase64());
        const auto sign = [&](const QByteArray &message) {
            QByteArray signature(crypto_sign_BYTES, '\0');
            crypto_sign_detached(
                bytes(signature), nullptr, bytes(message), quint64(message.size()), bytes(secret));
            return signature;
        };
        const auto file = [&](const QByteArray &algorithm, const QByteArray &message) {
            const QByteArray signature = sign(message);
            const QByteArray comment = "timestamp:0\tfile:Versions.json";
            return "untrusted comment: signature from minisign secret key\n"
                + (algorithm + key.id + signature).toBase64() + "\ntrusted comment: " + comment
                + "\n" + sign(signature + comment).toBase64() + "\n";
        };
        QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(bytes(hash), size_t(hash.size()), bytes(manifest),
            quint64(manifest.size()), nullptr, 0);
        prehashed = file("ED", hash);
        legacy = file("Ed", manifest);
    }

    QByteArray manifest = Manifests::spreadOfSize(1024 * 1024);
    PublicKey key;
    QByteArray prehashed; // minisign's default
    QByteArray legacy;
};

const Signed &material()
{
    static const Signed instance;
    return instance;
}

void verify(benchmark::State &state, bool prehashed)
{
    const Signed &input = material();
    const QVector<PublicKey> keys { input.key };
    for (auto _ : state) {
        const Verification verification = MZU::Internal::verifySignature(
            input.manifest, prehashed ? input.prehashed : input.legacy, keys);
        if (verification.result != Verification::Verified)
            return state.SkipWithError(qPrintable(verification.problem));
    }
}

void fromJson(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(material().manifest));
}

} // namespace

void registerSignatureBenchmarks()
{
    benchmark::RegisterBenchmark("signature/verify-ED/1MB", verify, true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("signature/verify-Ed/1MB", verify, false)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("signature/fromJson/1MB", fromJson)->Unit(benchmark::kMillisecond);
}
