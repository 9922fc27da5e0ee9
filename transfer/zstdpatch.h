#ifndef ZSTDPATCH_H
#define ZSTDPATCH_H

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

// zstd frames as a release carries them: a component's compressed copy, and
// patches, which are zstd frames compressed with an earlier release's file as
// their reference (as "zstd --patch-from" makes them). Bytes in, bytes out:
// nothing here knows of files or HTTP.

// Receives bytes in order; returning false stops the work with an error.
using ZstdSink = std::function<bool(const char *data, qint64 size)>;

// Decodes one frame that arrives in pieces.
//
// The frame must declare its decoded size, and that size must be at most
// maxOutput: the decoder's own buffer never grows past that size (and its
// window never past 2^WindowLogMax), whatever the frame claims, and more
// output than declared is an error. A patch's reference is used in place,
// never copied: the caller maps the earlier file and keeps it mapped until
// the decoder is done or destroyed. The reference and an output set with
// setOutput() may be maps of files that shrink meanwhile: a page that is
// gone then ends the decoding with an error, never the process.
class ZstdDecoder
{
public:
    static constexpr int WindowLogMax = 31;
    // A compressed copy's window: what it holds stays the same from a small
    // component to one of gigabytes.
    static constexpr int CopyWindowLogMax = 23;

    explicit ZstdDecoder(qint64 maxOutput, const char *reference = nullptr,
                         qint64 referenceSize = 0);
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder &) = delete;
    ZstdDecoder &operator=(const ZstdDecoder &) = delete;

    // Before the first write(): decode into output (capacity bytes, at least
    // maxOutput) where it lies, with zstd's stable output buffer. The window
    // is then the output itself: the decoder holds no buffer of its size,
    // whatever its size. The sink sees each new piece there.
    void setOutput(char *output, qint64 capacity);

    // Feeds compressed bytes; what they decode to goes to sink before it
    // returns. False on an error (errorString()); the decoder is then spent.
    bool write(const char *data, qint64 size, const ZstdSink &sink);
    // After the last input: true when exactly one whole frame was decoded.
    bool finish();

    qint64 decodedSize() const;
    QString errorString() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The publisher's side: one frame with its decoded size and a checksum, with
// long-distance matching, the input read where it lies, never copied; at
// levels measured for a release's sizes (bench/levels.sh).
namespace ZstdEncoder {

// A compressed copy looks back at most 8 MiB, so that it decodes in as
// little memory at any size (long-distance matching still finds repeats
// within it).
constexpr int CopyWindowLog = ZstdDecoder::CopyWindowLogMax;
constexpr int CopyLevel = 19;
// A patch's window must reach back across its reference: zstd's largest
// window, 2 GiB, bounds the files a patch is made (and used) for. The updater
// decodes into its mapped staging file (ZstdDecoder::setOutput), so its
// memory does not grow with them.
constexpr qint64 PatchSizeLimit = qint64(1) << ZstdDecoder::WindowLogMax;
// 17 keeps patches within 5 % of level 19's, on a program and on data with
// small changes alike, in less time. zstd's optimal parser (levels 16 and
// up) loses the reference's long matches once the files pass a few tens of
// MiB: at 60 MB a patch of 150 KB changed came out at 1.9 MB, at 200 MB as
// large as the file. Larger pairs get level 12, whose parser takes them as
// found, in a tenth of the time.
constexpr int PatchLevel = 17;
constexpr int LargePatchLevel = 12;
constexpr qint64 LargePatchSize = qint64(32) << 20;
int patchLevel(qint64 referenceSize, qint64 size);

// Told how many input bytes are done, now and then.
using Progress = std::function<void(qint64 done)>;

// workers: zstd's worker threads; 0 compresses on the calling thread alone.
// A copy's jobs are independent: its bytes are the same for any number of
// workers above 0.
bool compress(const char *data, qint64 size, const ZstdSink &sink, QString *error, int workers = 0,
              const Progress &progress = Progress());
// data as a patch against reference; both at most PatchSizeLimit. Always on
// the calling thread: zstd's jobs after the first lose sight of the
// reference, so a caller runs several patches side by side instead.
bool createPatch(const char *reference, qint64 referenceSize, const char *data, qint64 size,
                 const ZstdSink &sink, QString *error, const Progress &progress = Progress());

} // namespace ZstdEncoder

#endif // ZSTDPATCH_H
