#ifndef COMPONENTWRITER_H
#define COMPONENTWRITER_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include "itemplan.h"

#include <memory>

class FileMap;
class QFile;
class Sha256;
class StagedFile;
class StagingJournal;
class ZstdDecoder;

// Turns a component's bytes, as they arrive, into its staged file beside the
// target (StagedFile): as they are, or decoded (a compressed copy, or a patch
// against the file now at the target), with the SHA-256 of the result beside
// them when a hash is to be met. Knows nothing of where the bytes come from;
// the target changes only at commit().
//
// A patch reads the target through a map (FileMap) and decodes into the
// staging file, mapped at the limit's size (the item's filesize): the
// decoder's window is the two files, and memory stays flat at any size up to
// ZstdEncoder::PatchSizeLimit. A target that shrinks meanwhile fails the
// patch with the reason (write() returns false), never the process. On
// Windows the map keeps the target from being shortened while the patch
// comes in; it can still be written in place, and the result's hash then
// fails the patch.
class ComponentWriter : public QObject
{
    Q_OBJECT

public:
    enum class Encoding { Plain, Compressed, Patch };

    // journal: the release the component belongs to; null for none.
    ComponentWriter(const QString &target, StagingJournal *journal, bool hashing,
                    QObject *parent = nullptr);
    // An unfinished staging file goes with the writer.
    ~ComponentWriter() override;

    QString target() const;
    // Where the bytes of target are written until commit().
    static QString stagingPath(const QString &target);

    // Before open(): how the bytes become the file, never longer than limit.
    // A patch reads the file at the target as its reference. False, with the
    // reason, when the reference cannot be read.
    bool setEncoding(Encoding encoding, qint64 limit, QString *error);
    // Creates the staging file; ready() follows, at once or later.
    void open();
    // Before open(): the bytes of file (kept by an earlier run) are the
    // first ones, taken and hashed as if received.
    void adopt(const QString &file);
    // Whether the bytes go anywhere: not when nothing could be staged, as
    // for a folder at the target (the transfer then counts as failed).
    bool isWriting() const;
    // Takes received bytes; false, with the reason in errorString() (and a
    // line when the file cannot take them).
    bool write(const QByteArray &data);
    // The bytes taken: where a resumed transfer goes on.
    qint64 size() const;
    // From the start again: a server ignored a range and sends the whole file.
    void restart();
    // From the start again, as the file itself: a cheaper way failed.
    void restartPlain();
    // Lower-case hex of what was written to the file, once it is all there;
    // empty without hashing.
    QByteArray sha256Hex();
    // Lower-case hex of the bytes taken, when they were encoded.
    QByteArray receivedSha256Hex();
    // Nothing more comes; the staging file is closed. False when the encoded
    // bytes did not end as a whole.
    bool close();
    QString errorString() const { return error; }
    // For encoded bytes, once all have come: closes the file, and says why
    // they are not source (announced: the length the server announced, -1
    // for none) or do not decode to itemSha256 (also in errorString()); empty
    // when they are and do.
    QString decodedProblem(qint64 announced, const ItemSource &source, const QByteArray &itemSha256);
    // Puts the staging file in place; committed() follows, at once or later.
    void commit();
    // Stops any retry and removes the staging file.
    void discard();
    // Stops any retry; the staging file stays for the release (StagedFile::leave()).
    void leave();

signals:
    void ready(bool ok);
    void committed(bool ok);

private:
    bool startDecoder();
    void onStagedReady(bool ok);
    bool mapOutput(QFile *file);
    void dropOutput();
    void dropReference();

    StagedFile *staged = nullptr;
    std::unique_ptr<Sha256> hash;
    Encoding encoding = Encoding::Plain;
    qint64 limit = -1;
    qint64 received = 0;
    std::unique_ptr<Sha256> receivedHash;
    std::unique_ptr<ZstdDecoder> decoder;
    // A patch's reference and output, mapped for as long as it decodes.
    std::unique_ptr<FileMap> reference;
    uchar *output = nullptr;
    QString error;
    bool adopting = false;
    QByteArray resultHex;
};

#endif // COMPONENTWRITER_H
