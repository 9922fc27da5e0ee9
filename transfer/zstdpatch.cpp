#include "zstdpatch.h"

#include "filemap.h"

#include <QByteArray>

// For ZSTD_getFrameHeader: the frame's declared size, before any buffer is made.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

namespace {

struct DCtxFree
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

struct CCtxFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

QString zstdError(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

int highBit(quint64 value)
{
    int bit = 0;
    while (value >>= 1)
        ++bit;
    return bit;
}

} // namespace

struct ZstdDecoder::Private
{
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context{ZSTD_createDCtx()};
    qint64 maxOutput = 0;
    qint64 decoded = 0;
    // The frame header, gathered until it can be checked.
    QByteArray header;
    bool headerChecked = false;
    bool frameDone = false;
    QString error;
    QByteArray buffer;
    // What may be a file's map: the reference, and the output of setOutput().
    const char *reference = nullptr;
    qint64 referenceSize = 0;
    ZSTD_outBuffer stableOutput = {nullptr, 0, 0};

    bool fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return false;
    }
    bool checkHeader();
    bool decode(const char *data, qint64 size, const ZstdSink &sink);
};

ZstdDecoder::ZstdDecoder(qint64 maxOutput, const char *reference, qint64 referenceSize)
    : d(new Private)
{
    d->maxOutput = maxOutput;
    d->reference = reference;
    d->referenceSize = referenceSize;
    if (!d->context) {
        d->fail(QStringLiteral("zstd: out of memory"));
        return;
    }
    size_t result = ZSTD_DCtx_setParameter(d->context.get(), ZSTD_d_windowLogMax,
                                           reference ? WindowLogMax : CopyWindowLogMax);
    if (!ZSTD_isError(result) && reference)
        result = ZSTD_DCtx_refPrefix(d->context.get(), reference, size_t(referenceSize));
    if (ZSTD_isError(result))
        d->fail(zstdError(result));
}

ZstdDecoder::~ZstdDecoder() = default;

void ZstdDecoder::setOutput(char *output, qint64 capacity)
{
    const size_t result = ZSTD_DCtx_setParameter(d->context.get(), ZSTD_d_stableOutBuffer, 1);
    if (ZSTD_isError(result)) {
        d->fail(zstdError(result));
        return;
    }
    d->stableOutput = {output, size_t(capacity), 0};
}

bool ZstdDecoder::Private::checkHeader()
{
    ZSTD_frameHeader frame;
    const size_t result = ZSTD_getFrameHeader(&frame, header.constData(), size_t(header.size()));
    if (ZSTD_isError(result))
        return fail(QStringLiteral("not a zstd frame: ") + zstdError(result));
    if (result > 0)
        return true; // more bytes needed
    if (frame.frameType != ZSTD_frame)
        return fail(QStringLiteral("not a zstd frame: a skippable frame"));
    if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN)
        return fail(QStringLiteral("the frame does not declare its decoded size"));
    if (frame.frameContentSize > quint64(maxOutput))
        return fail(QStringLiteral("the frame decodes to %1 bytes, more than the %2 allowed")
                    .arg(frame.frameContentSize).arg(maxOutput));
    headerChecked = true;
    return true;
}

namespace {

struct Step
{
    ZSTD_DCtx *context;
    ZSTD_outBuffer *out;
    ZSTD_inBuffer *in;
    size_t result;
};

// Inside FileMap::guarded(): nothing here has a destructor to skip.
void decodeStep(void *context)
{
    Step *step = static_cast<Step *>(context);
    step->result = ZSTD_decompressStream(step->context, step->out, step->in);
}

} // namespace

bool ZstdDecoder::Private::decode(const char *data, qint64 size, const ZstdSink &sink)
{
    const bool stable = stableOutput.dst;
    if (!stable && buffer.isEmpty())
        buffer.resize(int(ZSTD_DStreamOutSize()));
    ZSTD_inBuffer in = {data, size_t(size), 0};
    for (;;) {
        if (frameDone) {
            if (in.pos < in.size)
                return fail(QStringLiteral("data after the end of the frame"));
            return true;
        }
        ZSTD_outBuffer buffered = {buffer.data(), size_t(buffer.size()), 0};
        ZSTD_outBuffer &out = stable ? stableOutput : buffered;
        const size_t inBefore = in.pos;
        const size_t outBefore = out.pos;
        Step step = {context.get(), &out, &in, 0};
        if (reference || stable) {
            if (!FileMap::guarded({reference, referenceSize}, {stableOutput.dst, qint64(stableOutput.size)},
                                  decodeStep, &step))
                return fail(QStringLiteral("a page of the reference or of the output could not be read"));
        } else {
            decodeStep(&step);
        }
        const size_t result = step.result;
        if (ZSTD_isError(result))
            return fail(zstdError(result));
        const qint64 produced = qint64(out.pos - outBefore);
        if (produced > 0) {
            decoded += produced;
            // zstd checks the declared size itself; this bound holds even so.
            if (decoded > maxOutput)
                return fail(QStringLiteral("more than the %1 bytes allowed").arg(maxOutput));
            if (!sink(static_cast<const char *>(out.dst) + outBefore, produced))
                return fail(QStringLiteral("the decoded bytes could not be taken"));
        }
        if (result == 0)
            frameDone = true;
        else if (in.pos == in.size && (out.pos < out.size || (in.pos == inBefore && produced == 0)))
            return true; // all input used and all output flushed
    }
}

bool ZstdDecoder::write(const char *data, qint64 size, const ZstdSink &sink)
{
    if (!d->error.isEmpty())
        return false;
    if (!d->headerChecked) {
        const qint64 take = qMin<qint64>(size, ZSTD_FRAMEHEADERSIZE_MAX - d->header.size());
        d->header.append(data, int(take));
        data += take;
        size -= take;
        if (!d->checkHeader())
            return false;
        if (!d->headerChecked)
            return true;
        const QByteArray header = d->header;
        d->header.clear();
        if (!d->decode(header.constData(), header.size(), sink))
            return false;
    }
    return d->decode(data, size, sink);
}

bool ZstdDecoder::finish()
{
    if (!d->error.isEmpty())
        return false;
    if (!d->frameDone)
        return d->fail(QStringLiteral("the data ends inside the frame"));
    return true;
}

qint64 ZstdDecoder::decodedSize() const
{
    return d->decoded;
}

QString ZstdDecoder::errorString() const
{
    return d->error;
}

namespace {

// reference: null for a compressed copy (an empty one is a patch all the same).
bool encode(const char *reference, qint64 referenceSize, const char *data, qint64 size,
            const ZstdSink &sink, QString *error, int workers, const ZstdEncoder::Progress &progress)
{
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        *error = QStringLiteral("zstd: out of memory");
        return false;
    }
    ZSTD_CCtx *cctx = context.get();
    // A patch's window spans the larger of the two files, as "zstd
    // --patch-from" sets it; zstd narrows it again for small inputs.
    const int windowLog = reference
            ? qBound(int(ZSTD_WINDOWLOG_MIN),
                     highBit(quint64(qMax(referenceSize, size))) + 1, ZstdDecoder::WindowLogMax)
            : ZstdEncoder::CopyWindowLog;
    const int level = reference ? ZstdEncoder::patchLevel(referenceSize, size) : ZstdEncoder::CopyLevel;
    size_t result = 0;
    for (const auto &parameter :
         {std::make_pair(ZSTD_c_compressionLevel, level),
          std::make_pair(ZSTD_c_enableLongDistanceMatching, 1),
          std::make_pair(ZSTD_c_windowLog, windowLog), std::make_pair(ZSTD_c_checksumFlag, 1),
          std::make_pair(ZSTD_c_contentSizeFlag, 1), std::make_pair(ZSTD_c_nbWorkers, workers),
          // Else zstd copies up to a window of input; its workers take
          // their jobs' input as it comes.
          std::make_pair(ZSTD_c_stableInBuffer, workers == 0 ? 1 : 0)}) {
        if (!ZSTD_isError(result))
            result = ZSTD_CCtx_setParameter(cctx, parameter.first, parameter.second);
    }
    if (!ZSTD_isError(result))
        result = ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(size));
    if (!ZSTD_isError(result) && referenceSize > 0)
        result = ZSTD_CCtx_refPrefix(cctx, reference, size_t(referenceSize));
    if (ZSTD_isError(result)) {
        *error = zstdError(result);
        return false;
    }

    // The input grows by steps, so that progress can be told; with a stable
    // buffer only its size may change between calls.
    static const char empty = 0;
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
                *error = zstdError(result);
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

namespace ZstdEncoder {

int patchLevel(qint64 referenceSize, qint64 size)
{
    return qMax(referenceSize, size) > LargePatchSize ? LargePatchLevel : PatchLevel;
}

bool compress(const char *data, qint64 size, const ZstdSink &sink, QString *error, int workers,
              const Progress &progress)
{
    return encode(nullptr, 0, data, size, sink, error, workers, progress);
}

bool createPatch(const char *reference, qint64 referenceSize, const char *data, qint64 size,
                 const ZstdSink &sink, QString *error, const Progress &progress)
{
    if (referenceSize > PatchSizeLimit || size > PatchSizeLimit) {
        *error = QStringLiteral("a patch needs both files at most %1 bytes").arg(PatchSizeLimit);
        return false;
    }
    static const char empty = 0;
    return encode(reference ? reference : &empty, referenceSize, data, size, sink, error, 0, progress);
}

} // namespace ZstdEncoder
