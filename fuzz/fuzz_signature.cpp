// SPDX-License-Identifier: MIT
// minisign signature files as a server may send them, checked against a manifest and the
// key that signed it (tests/data/signature): never a crash, and a verdict that is either a
// verification or a stated cause. Input: the bytes of a signature file.
#include "fuzz.h"

#include "download/signature_p.h"

using namespace MZU::Internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArray manifest =
        "{\"name\": \"Versions.json\", \"apps\": [{\"name\": \"A\", \"os\": \"linux-x86_64\", "
        "\"version\": \"1.2.0\", \"changelog\": \"Signed.\"}]}\n";
    static const QVector<PublicKey> keys = [] {
        PublicKey key;
        QString why;
        FUZZ_CHECK(parsePublicKey(
            QStringLiteral("RWQ5bGBgjcMWTBAPbw6n6FFOP0TGlI3RSmgfiYFCOgAqi3iyF1sP3NQi"), key, why));
        return QVector<PublicKey> { key };
    }();
    const QByteArray signature(reinterpret_cast<const char *>(data), int(size));

    const Verification verification = verifySignature(manifest, signature, keys);
    FUZZ_CHECK((verification.result == Verification::Verified) == verification.problem.isEmpty());
    FUZZ_CHECK((verification.result == Verification::Verified) == (verification.keyIndex == 0));
    if (verification.result == Verification::Verified)
        FUZZ_CHECK(signature.contains("trusted comment: " + verification.trustedComment.toUtf8()));

    // Its first line as a public key: either a whole key or a reason.
    PublicKey key;
    QString why;
    const bool parsed = parsePublicKey(QString::fromUtf8(signature.split('\n').first()), key, why);
    FUZZ_CHECK(parsed ? key.id.size() == 8 && key.key.size() == 32 : !why.isEmpty());
    return 0;
}
