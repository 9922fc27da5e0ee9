#ifndef UTILS_H
#define UTILS_H

#include <QObject>
#include <QString>

// The updater's access to the file system and the process: the hand-off file
// written by the Korvel application, small file operations, the install path
// and the start of the application, which ends the updater.
class Utils : public QObject
{
    Q_OBJECT

public:
    explicit Utils(QObject *parent = nullptr);

    static constexpr int ExitStatus = 12;
    // A larger hand-off file is refused, as is anything but a regular file.
    static constexpr qint64 MaximumHandOffSize = 1024 * 1024;

signals:
    void fileOutput(QString output);

public slots:
    // Emits fileOutput once per line of the hand-off file, in file order,
    // within this call; nothing, with a line, for a file that cannot be read
    // or is not within bounds. A line that is not an http or https address
    // is handed over empty, with a line.
    void outputFile();

public:
    Q_INVOKABLE void deleteFile(QString file);
    // Size in bytes, 0 when the file cannot be read; sizes past the int range
    // are held at its maximum, so a large file never measures small.
    Q_INVOKABLE static int getFileSize(QString file);
    Q_INVOKABLE bool checkFileExists(QString path);
    Q_INVOKABLE bool copyFile(QString source, QString target);
    Q_INVOKABLE QString installPath();
    Q_INVOKABLE void cleanup();
    // Keeps the release as a whole, at the end of the sequence; false when it
    // cannot (the update then stalls and is rolled back).
    Q_INVOKABLE bool commitRelease();
    // Whether name may be written as a component (FileOps::fileNameProblem);
    // writes a line with the reason when not.
    Q_INVOKABLE static bool isFileName(QString name);
    // The window's words for a stall the document finds itself ("manifest",
    // "commit"), with its "Stalled:" line.
    Q_INVOKABLE static QString stallText(QString cause);
    // Starts KorvelWindows.exe beside the updater and ends the process with
    // status 12. Does not return.
    Q_INVOKABLE void startApp();

private:
    QString handOffPath;
};

#endif // UTILS_H
