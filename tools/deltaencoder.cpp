#include "deltaencoder.h"

// For ZSTD_c_stableInBuffer: a patch's input is read in place, never copied.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <QByteArray>
#include <QThread>

#include <memory>

namespace {

struct CCtxFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

int highBit(quint64 value)
{
    int bit = 0;
    while (value >>= 1)
        ++bit;
    return bit;
}

// reference: null for a compressed copy.
bool encode(const char *reference, qint64 referenceSize, const char *data, qint64 size,
            const ZstdSink &sink, const DeltaEncoder::Progress &progress, QString *error)
{
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        *error = QStringLiteral("zstd: out of memory");
        return false;
    }
    ZSTD_CCtx *cctx = context.get();
    // A patch's window spans the larger of the two files, as "zstd
    // --patch-from" sets it.
    const int windowLog = reference
            ? qBound(int(ZSTD_WINDOWLOG_MIN), highBit(quint64(qMax(referenceSize, size))) + 1,
                     ZstdDecoder::WindowLogMax)
            : ZstdEncoder::CopyWindowLog;
    const int workers = reference ? 0 : qMax(1, QThread::idealThreadCount());
    size_t result = 0;
    for (const auto &parameter :
         {std::make_pair(ZSTD_c_compressionLevel,
                         reference ? DeltaEncoder::PatchLevel : DeltaEncoder::CopyLevel),
          std::make_pair(ZSTD_c_enableLongDistanceMatching, 1),
          std::make_pair(ZSTD_c_windowLog, windowLog), std::make_pair(ZSTD_c_checksumFlag, 1),
          std::make_pair(ZSTD_c_contentSizeFlag, 1), std::make_pair(ZSTD_c_nbWorkers, workers),
          std::make_pair(ZSTD_c_stableInBuffer, workers == 0 ? 1 : 0)}) {
        if (!ZSTD_isError(result))
            result = ZSTD_CCtx_setParameter(cctx, parameter.first, parameter.second);
    }
    if (!ZSTD_isError(result))
        result = ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(size));
    static const char empty = 0;
    if (!ZSTD_isError(result) && reference)
        result = ZSTD_CCtx_refPrefix(cctx, referenceSize > 0 ? reference : &empty,
                                     size_t(referenceSize));
    if (ZSTD_isError(result)) {
        *error = QString::fromLatin1(ZSTD_getErrorName(result));
        return false;
    }

    // The input grows by steps, so that progress can be told; with a stable
    // buffer only its size may change between calls.
    const qint64 step = qint64(16) << 20;
    QByteArray buffer(int(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    ZSTD_inBuffer in = {size > 0 ? data : &empty, 0, 0};
    for (;;) {
        in.size = size_t(qMin<qint64>(size, qint64(in.size) + step));
        const ZSTD_EndDirective mode = qint64(in.size) == size ? ZSTD_e_end : ZSTD_e_continue;
        do {
            ZSTD_outBuffer out = {buffer.data(), size_t(buffer.size()), 0};
            result = ZSTD_compressStream2(cctx, &out, &in, mode);
            if (ZSTD_isError(result)) {
                *error = QString::fromLatin1(ZSTD_getErrorName(result));
                return false;
            }
            if (out.pos > 0 && !sink(buffer.constData(), qint64(out.pos))) {
                *error = QStringLiteral("the compressed bytes could not be taken");
                return false;
            }
            // What the workers have compressed, not what they were handed:
            // they take the input long before they are done with it.
            if (progress)
                progress(workers > 0 ? qint64(ZSTD_getFrameProgression(cctx).consumed)
                                     : qint64(in.pos));
        } while (mode == ZSTD_e_end ? result != 0 : in.pos < in.size);
        if (mode == ZSTD_e_end)
            return true;
    }
}

} // namespace

namespace DeltaEncoder {

bool compress(const char *data, qint64 size, const ZstdSink &sink, const Progress &progress,
              QString *error)
{
    return encode(nullptr, 0, data, size, sink, progress, error);
}

bool createPatch(const char *reference, qint64 referenceSize, const char *data, qint64 size,
                 const ZstdSink &sink, const Progress &progress, QString *error)
{
    if (referenceSize > ZstdEncoder::PatchSizeLimit || size > ZstdEncoder::PatchSizeLimit) {
        *error = QStringLiteral("a patch needs both files at most %1 bytes")
                .arg(ZstdEncoder::PatchSizeLimit);
        return false;
    }
    static const char empty = 0;
    return encode(reference ? reference : &empty, referenceSize, data, size, sink, progress, error);
}

} // namespace DeltaEncoder
