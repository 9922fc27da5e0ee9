#include "componentwriter.h"

#include "filemap.h"
#include "sha256.h"
#include "stagedfile.h"
#include "zstdpatch.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

ComponentWriter::ComponentWriter(const QString &target, StagingJournal *journal, bool hashing,
                                 QObject *parent)
    : QObject(parent)
    , staged(new StagedFile(target, journal, this))
    , hash(hashing ? new Sha256 : nullptr)
{
    connect(staged, &StagedFile::ready, this, &ComponentWriter::onStagedReady);
    connect(staged, &StagedFile::committed, this, &ComponentWriter::committed);
}

ComponentWriter::~ComponentWriter()
{
    dropReference();
}

QString ComponentWriter::target() const
{
    return staged->target();
}

QString ComponentWriter::stagingPath(const QString &target)
{
    return StagedFile::stagingPath(target);
}

bool ComponentWriter::setEncoding(Encoding newEncoding, qint64 newLimit, QString *why)
{
    encoding = newEncoding;
    limit = newLimit;
    if (encoding == Encoding::Plain)
        return true;
    receivedHash.reset(new Sha256);
    if (encoding == Encoding::Patch) {
        // Read in place: the reference may be as large as the component.
        reference.reset(new FileMap);
        if (!reference->open(staged->target())) {
            *why = reference->errorString();
            dropReference();
            return false;
        }
    }
    if (!startDecoder()) {
        *why = error;
        return false;
    }
    return true;
}

bool ComponentWriter::startDecoder()
{
    decoder.reset(new ZstdDecoder(limit, reference ? reference->data() : nullptr,
                                  reference ? reference->size() : 0));
    error = decoder->errorString();
    return error.isEmpty();
}

// The patch's window is the staging file itself.
bool ComponentWriter::mapOutput(QFile *file)
{
    output = FileMap::mapForWriting(file, limit, &error);
    if (!output) {
        qDebug() << "Cannot write" << file->fileName() << error;
        return false;
    }
    decoder->setOutput(reinterpret_cast<char *>(output), limit);
    return true;
}

void ComponentWriter::dropOutput()
{
    if (output && staged->file()) {
        FileMap::flush(output, limit);
        staged->file()->unmap(output);
    }
    output = nullptr;
}

void ComponentWriter::dropReference()
{
    decoder.reset();
    dropOutput();
    // Windows renames no file that is mapped or open, and the target is renamed at commit.
    reference.reset();
}

void ComponentWriter::open()
{
    staged->open();
}

void ComponentWriter::adopt(const QString &file)
{
    staged->setStartingFile(file);
    adopting = true;
}

void ComponentWriter::onStagedReady(bool ok)
{
    QFile *file = staged->file();
    if (ok && adopting && hash && file) {
        file->seek(0);
        QByteArray buffer(1024 * 1024, Qt::Uninitialized);
        for (qint64 n; (n = file->read(buffer.data(), buffer.size())) > 0;)
            hash->add(buffer.constData(), n);
        file->seek(file->size());
    }
    adopting = false;
    emit ready(ok);
}

bool ComponentWriter::isWriting() const
{
    return staged->file();
}

bool ComponentWriter::write(const QByteArray &data)
{
    QFile *file = staged->file();
    if (data.isEmpty() || !file)
        return true;
    received += data.size();
    if (encoding == Encoding::Patch && limit > 0 && !output && !mapOutput(file))
        return false;
    const auto put = [this, file](const char *bytes, qint64 size) {
        // Decoded into the map: already in the file.
        if (!output && file->write(bytes, size) != size) {
            error = file->errorString();
            qDebug() << "Cannot write" << file->fileName() << error;
            return false;
        }
        if (hash)
            hash->add(bytes, size);
        return true;
    };
    if (!decoder)
        return put(data.constData(), data.size());
    receivedHash->add(data);
    if (decoder->write(data.constData(), data.size(), put))
        return true;
    if (error.isEmpty())
        error = decoder->errorString();
    // A cleaner or the application at work: say what happened to it.
    const qint64 now = QFileInfo(staged->target()).size();
    if (reference && now < reference->size())
        error = QStringLiteral("the installed file shrank from %1 to %2 bytes while the patch was "
                               "decoded").arg(reference->size()).arg(now);
    return false;
}

qint64 ComponentWriter::size() const
{
    return decoder ? received : (staged->file() ? staged->file()->size() : 0);
}

void ComponentWriter::restart()
{
    // No file shrinks under its own map.
    dropOutput();
    if (QFile *file = staged->file()) {
        file->resize(0);
        file->seek(0);
    }
    if (hash)
        hash->reset();
    resultHex.clear();
    received = 0;
    error.clear();
    if (receivedHash)
        receivedHash->reset();
    // A fresh frame; a patch maps its output again at its first bytes.
    if (encoding != Encoding::Plain)
        startDecoder();
}

void ComponentWriter::restartPlain()
{
    dropReference();
    encoding = Encoding::Plain;
    receivedHash.reset();
    restart();
}

QByteArray ComponentWriter::sha256Hex()
{
    // Taken once all bytes are in; asked again, it is the same.
    if (hash && resultHex.isEmpty())
        resultHex = hash->hex();
    return resultHex;
}

QByteArray ComponentWriter::receivedSha256Hex()
{
    return receivedHash ? receivedHash->hex() : QByteArray();
}

bool ComponentWriter::close()
{
    bool ok = true;
    if (decoder && !decoder->finish()) {
        error = decoder->errorString();
        ok = false;
    }
    const qint64 decoded = decoder ? decoder->decodedSize() : 0;
    const bool mapped = output;
    dropReference();
    if (QFile *file = staged->file()) {
        // The map's length was the limit; the frame may decode to less.
        if (mapped && !file->resize(decoded)) {
            error = file->errorString();
            ok = false;
        }
        file->close();
    }
    return ok;
}

QString ComponentWriter::decodedProblem(qint64 announced, const ItemSource &source,
                                        const QByteArray &itemSha256)
{
    if ((announced != -1 && received != announced) || received != source.size)
        error = QStringLiteral("%1 bytes, not %2").arg(received).arg(source.size);
    else if (!close())
        return error;
    else if (receivedSha256Hex() != source.sha256)
        error = QStringLiteral("its SHA-256 is not the listed one");
    else if (sha256Hex() != itemSha256)
        error = QStringLiteral("the result's SHA-256 is not the item's");
    else
        return QString();
    return error;
}

void ComponentWriter::commit()
{
    staged->commit();
}

void ComponentWriter::discard()
{
    staged->discard();
}

void ComponentWriter::leave()
{
    dropReference();
    staged->leave();
}
