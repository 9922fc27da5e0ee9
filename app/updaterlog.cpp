#include "updaterlog.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QString>

namespace {

// Never destroyed: Qt's own threads may log until the process ends.
QFile *logFile = nullptr;
QBasicMutex logMutex;
QtMessageHandler previousHandler = nullptr;

#ifdef Q_OS_WIN
const char lineEnd[] = "\r\n";
#else
const char lineEnd[] = "\n";
#endif

void copyMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // A message raised while writing must not wait for its own lock.
    static thread_local bool writing = false;
    if (!writing) {
        writing = true;
        QDateTime now = QDateTime::currentDateTime();
        now.setOffsetFromUtc(now.offsetFromUtc());
        const QByteArray line = now.toString(Qt::ISODateWithMs).toUtf8() + ' '
                + qFormatLogMessage(type, context, message).toUtf8() + lineEnd;
        {
            QMutexLocker locker(&logMutex);
            // flush() hands the line to the system, where the process's end
            // cannot lose it.
            logFile->write(line);
            logFile->flush();
        }
        writing = false;
    }
    previousHandler(type, context, message);
}

// Keeps the newest lines, at most half the bound, from the start of a line.
// In place, through the one handle: the run's own lines follow them.
void trim(QFile *file)
{
    const qint64 keep = MaximumLogSize / 2;
    const qint64 size = file->size();
    if (size <= MaximumLogSize || !file->seek(size - keep - 1))
        return;
    QByteArray tail = file->read(keep + 1);
    tail.remove(0, tail.indexOf('\n') + 1);
    if (tail.size() > keep)
        tail.clear();
    if (file->resize(0))
        file->write(tail);
}

} // namespace

void startUpdaterLog()
{
    // Not qgetenv: on Windows only this gives the path's letters whole.
    const QString path = qEnvironmentVariable("KORVEL_UPDATER_LOG");
    if (path.isEmpty())
        return;
    auto *file = new QFile(path);
    if (!file->open(QIODevice::ReadWrite | QIODevice::Append)) {
        // The update goes on; only the copy is missing.
        qDebug() << "Cannot open the log file" << path << file->errorString();
        delete file;
        return;
    }
    trim(file);
    logFile = file;
    previousHandler = qInstallMessageHandler(copyMessage);
}
