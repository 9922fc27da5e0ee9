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
// never copied: the caller maps the earlier file and keeps it readable and
// unchanged until the decoder is done or destroyed.
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

// The publisher's side: level 19 with long-distance matching, one frame with
// its decoded size and a checksum. Single-threaded, so the same input always
// gives the same bytes.
namespace ZstdEncoder {

constexpr int Level = 19;
// A compressed copy looks back at most 8 MiB, so that it decodes in as
// little memory at any size (long-distance matching still finds repeats
// within it).
constexpr int CopyWindowLog = ZstdDecoder::CopyWindowLogMax;
// A patch's window must reach back across its reference, so the updater
// holds the decoded file as well as the mapped earlier one: patches are made
// (and used) only where both files are at most this size, and the updater's
// peak then grows by at most the component's size plus 64 MiB.
constexpr qint64 PatchSizeLimit = qint64(64) << 20;

bool compress(const char *data, qint64 size, const ZstdSink &sink, QString *error);
// data as a patch against reference; both at most PatchSizeLimit.
bool createPatch(const char *reference, qint64 referenceSize, const char *data, qint64 size,
                 const ZstdSink &sink, QString *error);

} // namespace ZstdEncoder

#endif // ZSTDPATCH_H
