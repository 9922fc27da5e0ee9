#include "filehash.h"

#include "sha256.h"

#include <QTimer>

namespace {

// Large enough that the reads cost nothing beside the hash, small enough
// that the window never waits for one.
const int PieceSize = 4 * 1024 * 1024;

} // namespace

FileHash::FileHash(const QString &path, QObject *parent)
    : QObject(parent)
    , file(path)
    , hash(new Sha256)
{
}

FileHash::~FileHash() = default;

void FileHash::start()
{
    if (!file.open(QIODevice::ReadOnly)) {
        QTimer::singleShot(0, this, [this] { emit done(QByteArray()); });
        return;
    }
    buffer.resize(PieceSize);
    QTimer::singleShot(0, this, &FileHash::step);
}

void FileHash::step()
{
    const qint64 size = file.read(buffer.data(), buffer.size());
    if (size > 0) {
        hash->add(buffer.constData(), size);
        QTimer::singleShot(0, this, &FileHash::step);
        return;
    }
    file.close();
    buffer.clear();
    emit done(size == 0 ? hash->hex() : QByteArray());
}
