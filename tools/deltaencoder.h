#ifndef DELTAENCODER_H
#define DELTAENCODER_H

#include "zstdpatch.h"

#include <QString>
#include <QtGlobal>

#include <functional>

// The tool's zstd encoder: what the updater's ZstdDecoder takes (a copy's
// window of 2^CopyWindowLog, a patch's spanning its reference, long-distance
// matching, the decoded size and a checksum in the frame), at levels measured
// for a release's sizes (bench/levels.sh).
namespace DeltaEncoder {

// A compressed copy: zstd's worker threads, one per core; its jobs are
// independent, and the bytes are the same whatever the number of workers.
constexpr int CopyLevel = 19;
// A patch: one thread, since zstd's jobs after the first lose sight of the
// reference; the tool runs a component's patches side by side instead. 17
// keeps patches within 5 % of level 19's, on a program and on data with
// small changes alike (16 loses 11 % on the latter), in less time.
constexpr int PatchLevel = 17;

// Told how many input bytes are done, now and then.
using Progress = std::function<void(qint64 done)>;

bool compress(const char *data, qint64 size, const ZstdSink &sink, const Progress &progress,
              QString *error);
// size and referenceSize at most ZstdEncoder::PatchSizeLimit.
bool createPatch(const char *reference, qint64 referenceSize, const char *data, qint64 size,
                 const ZstdSink &sink, const Progress &progress, QString *error);

} // namespace DeltaEncoder

#endif // DELTAENCODER_H
