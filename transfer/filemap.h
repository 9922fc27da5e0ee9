#ifndef FILEMAP_H
#define FILEMAP_H

#include <QString>
#include <QtGlobal>

class QFile;

// A file's bytes mapped into memory, read-only, never copied: a patch's
// reference, which may be as large as the component.
//
// On Windows the file stays open to others for reading, writing, renaming
// and removal while it is mapped; Windows itself refuses to shorten a mapped
// file (SetEndOfFile fails with ERROR_USER_MAPPED_FILE), so no mapped page
// ever goes away. Elsewhere a file can shrink under its map, and reading a
// page past its new end is a memory fault: read the map inside guarded().
class FileMap
{
public:
    FileMap() = default;
    ~FileMap();
    FileMap(const FileMap &) = delete;
    FileMap &operator=(const FileMap &) = delete;

    // False, with errorString(), when the file cannot be opened or mapped.
    bool open(const QString &path);
    void close();
    // Never null: an empty file gives an empty map.
    const char *data() const { return bytes ? bytes : ""; }
    qint64 size() const { return length; }
    QString errorString() const { return error; }

    // The first size bytes of file (open for reading and writing), mapped
    // for writing: the file is made that long with its disk space reserved,
    // so that a full disk fails here, with the reason, and never as a fault
    // while the map is written. Unmap with QFile::unmap().
    static uchar *mapForWriting(QFile *file, qint64 size, QString *error);
    // Before such a map goes: Windows writes a mapped view back only when
    // asked (FlushFileBuffers alone does not reach it); elsewhere the
    // file's own flush does.
    static void flush(uchar *map, qint64 size);

    struct Range
    {
        const void *begin;
        qint64 size;
    };
    // Runs work(context). A memory fault inside either range (a mapped file
    // that shrank) ends work there and gives false, instead of ending the
    // process. Nothing of work is unwound: it must hold no object that has
    // a destructor. For the calling thread only; not reentrant.
    static bool guarded(Range first, Range second, void (*work)(void *), void *context);

private:
    const char *bytes = nullptr;
    qint64 length = 0;
    QString error;
#ifdef Q_OS_WIN
    void *file = nullptr;
    void *mapping = nullptr;
#else
    int descriptor = -1;
#endif
};

#endif // FILEMAP_H
