#include "componentwriter.h"

#include "sha256.h"
#include "stagedfile.h"
#include "zstdpatch.h"

#include <QDebug>
#include <QFile>

ComponentWriter::ComponentWriter(const QString &target, StagingJournal *journal, bool hashing,
                                 QObject *parent)
    : QObject(parent)
    , staged(new StagedFile(target, journal, this))
    , hash(hashing ? new Sha256 : nullptr)
{
    connect(staged, &StagedFile::ready, this, &ComponentWriter::ready);
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
        reference = new QFile(staged->target(), this);
        if (!reference->open(QIODevice::ReadOnly)
            || (reference->size() > 0 && !(referenceData = reference->map(0, reference->size())))) {
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
    const char *data = reinterpret_cast<const char *>(referenceData);
    decoder.reset(new ZstdDecoder(limit, encoding == Encoding::Patch ? (data ? data : "") : nullptr,
                                  reference ? reference->size() : 0));
    error = decoder->errorString();
    return error.isEmpty();
}

void ComponentWriter::dropReference()
{
    decoder.reset();
    if (!reference)
        return;
    // Windows renames no file that is mapped or open, and the target is renamed at commit.
    if (referenceData)
        reference->unmap(referenceData);
    referenceData = nullptr;
    delete reference;
    reference = nullptr;
}

void ComponentWriter::open()
{
    staged->open();
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
    const auto put = [this, file](const char *bytes, qint64 size) {
        if (file->write(bytes, size) != size) {
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
    return false;
}

qint64 ComponentWriter::size() const
{
    return decoder ? received : (staged->file() ? staged->file()->size() : 0);
}

void ComponentWriter::restart()
{
    if (QFile *file = staged->file()) {
        file->resize(0);
        file->seek(0);
    }
    if (hash)
        hash->reset();
    received = 0;
    error.clear();
    if (receivedHash)
        receivedHash->reset();
    if (decoder)
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
    return hash ? hash->hex() : QByteArray();
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
    dropReference();
    if (QFile *file = staged->file())
        file->close();
    return ok;
}

void ComponentWriter::commit()
{
    staged->commit();
}

void ComponentWriter::discard()
{
    staged->discard();
}
