// SPDX-License-Identifier: MIT
#ifndef DECODER_P_H
#define DECODER_P_H

#include "download_p.h"
#include <QByteArray>

#include <QByteArrayList>

#include <vector>

#include <zlib.h>

namespace MZU {
namespace Internal {

// Decodes the body as it arrives. Qt would inflate it by itself, but only after handing
// the size check bytes it can no longer refuse: a small gzip body can decode to gigabytes.
class Decoder
{
public:
    enum Result { Fine, TooLarge, Corrupt };

    ~Decoder()
    {
        if (zipped)
            inflateEnd(&stream);
    }

    // False for an encoding we did not ask for. @p length: the declared size, or -1.
    bool start(const QByteArray &encoding, qint64 length)
    {
        firstBlock = blockSize;
        if (zipped) // headers again, after an interim response
            inflateEnd(&stream);
        zipped = false;
        const QByteArray name = encoding.trimmed().toLower();
        if (name.isEmpty() || name == "identity") {
            // A plain body of known size goes into one array, with nothing to join at the end.
            if (length > 0 && length <= maximumManifestSize)
                firstBlock = int(length);
            return true;
        }
        if (name != "gzip" && name != "x-gzip" && name != "deflate")
            return false;
        // 32: a gzip or a zlib header, as the server's word for it is not always right.
        zipped = inflateInit2(&stream, MAX_WBITS + 32) == Z_OK;
        ended = false;
        return zipped;
    }

    Result feed(const QByteArray &input, qint64 maximumSize)
    {
        if (!zipped) {
            if (size + input.size() > maximumSize)
                return TooLarge;
            append(input.constData(), input.size());
            return Fine;
        }
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
        stream.avail_in = uInt(input.size());
        char chunk[64 * 1024];
        while (stream.avail_in > 0) {
            if (ended) {
                // Another gzip member follows: concatenated members are one body.
                if (inflateReset(&stream) != Z_OK)
                    return Corrupt;
                ended = false;
            }
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof chunk;
            const int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                return Corrupt;
            const qint64 produced = qint64(sizeof chunk) - stream.avail_out;
            if (size + produced > maximumSize)
                return TooLarge;
            append(chunk, produced);
            ended = status == Z_STREAM_END;
            if (status == Z_BUF_ERROR && produced == 0)
                return Corrupt; // no progress with input and room left
        }
        return Fine;
    }

    // The blocks as they are: joining 4 MiB is for the thread that parses, not the host's.
    QByteArrayList take() { return QByteArrayList(blocks.begin(), blocks.end()); }

    // A compressed body must end with its stream's end; anything else was cut.
    bool complete() const { return !zipped || ended; }

private:
    // Fixed blocks rather than one growing array: growing by reallocation would hold up to
    // twice the cap at once (more under a sanitizer, which keeps freed memory a while).
    void append(const char *data, qint64 count)
    {
        while (count > 0) {
            const int limit = blocks.size() == 1 ? firstBlock : blockSize;
            if (blocks.empty() || blocks.back().size() >= limit) {
                blocks.emplace_back();
                // The first grows as needed (most bodies are small) unless its size is known.
                if (blocks.size() > 1 || firstBlock != blockSize)
                    blocks.back().reserve(blocks.size() > 1 ? blockSize : firstBlock);
            }
            const int room = (blocks.size() == 1 ? firstBlock : blockSize) - blocks.back().size();
            const int part = int(qMin<qint64>(count, room));
            blocks.back().append(data, part);
            data += part;
            count -= part;
            size += part;
        }
    }

    static constexpr int blockSize = 1024 * 1024;
    int firstBlock = blockSize;
    z_stream stream {};
    bool zipped = false;
    bool ended = true;
    std::vector<QByteArray> blocks;
    qint64 size = 0;
};

} // namespace Internal
} // namespace MZU

#endif // DECODER_P_H
