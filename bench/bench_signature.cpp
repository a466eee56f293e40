#include "benchmarks.h"

#include "manifests.h"

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

// A manifest signed as minisign signs it, with a key made here: the benchmark measures the
// verification, and the tests hold the format to the tool's.
struct Signed
{
    Signed()
    {
        if (sodium_init() < 0)
            return;
        manifest = Manifests::mixedOfSize(1024 * 1024);
        QByteArray secret(crypto_sign_SECRETKEYBYTES, '\0');
        key.key = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
        key.id = QByteArray(8, '\0');
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(key.key.data()),
            reinterpret_cast<unsigned char *>(secret.data()));
        randombytes_buf(key.id.data(), size_t(key.id.size()));
        key.text = QString::fromLatin1(("Ed" + key.id + key.key).toBase64());

        const auto sign = [&](const QByteArray &message) {
            QByteArray signature(crypto_sign_BYTES, '\0');
            crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                bytes(message), quint64(message.size()), bytes(secret));
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
        crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
            bytes(manifest), quint64(manifest.size()), nullptr, 0);
        prehashed = file("ED", hash);
        legacy = file("Ed", manifest);
    }

    QByteArray manifest;
    PublicKey key;
    QByteArray prehashed;
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
    const QByteArray &signature = prehashed ? input.prehashed : input.legacy;
    for (auto _ : state) {
        const Verification verification =
            MZU::Internal::verifySignature(input.manifest, signature, keys);
        if (verification.result != Verification::Verified) {
            state.SkipWithError(qPrintable(verification.problem));
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * input.manifest.size());
}

void fromJson(benchmark::State &state)
{
    const Signed &input = material();
    for (auto _ : state) {
        const QJsonDocument document = QJsonDocument::fromJson(input.manifest);
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(state.iterations() * input.manifest.size());
}

} // namespace

void registerSignatureBenchmarks()
{
    benchmark::RegisterBenchmark("signature/verify-ED/1MB", [](benchmark::State &state) {
        verify(state, true);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("signature/verify-Ed/1MB", [](benchmark::State &state) {
        verify(state, false);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("signature/fromJson/1MB", fromJson)->Unit(benchmark::kMillisecond);
}
