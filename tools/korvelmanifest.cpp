// korvel-manifest: writes the component manifest that KorvelUpdater reads, one
// item per file of a release directory; beside the components, in
// korvel-delta/, a compressed copy of each and patches from earlier releases;
// with a private key, the manifest's signature file and, for updaters from
// before signed manifests, every component's.

#include "componentsignature.h"
#include "fileidentity.h"
#include "filemap.h"
#include "fileops.h"
#include "releasecheck.h"
#include "releasewriter.h"
#include "sha256.h"
#include "zstdpatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QThread>
#include <QUrl>
#include <QVector>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

enum ExitStatus {
    Success = 0,
    InputError = 1,
    UsageError = 2,
};

// The folder of the release directory that holds compressed copies and
// patches: a subfolder, so that no later run lists them as components.
const QLatin1String DeltaFolder("korvel-delta");
// Beside the components while a run renames its files into place.
const QLatin1String JournalName(".korvel-new-journal");

// A file of korvel-delta/.
struct Delta
{
    QString fileName;
    qint64 size = 0;
    QByteArray sha256;
    // A patch's earlier file.
    QByteArray baseSha256;
};

struct Component
{
    QString name;
    qint64 size = 0;
    QString location;
    // Lower-case hex.
    QByteArray sha256;
    // No fileName when there is none.
    Delta compressed;
    QVector<Delta> patches;
    // One per --previous, in their order.
    QVector<struct PatchNote> patchNotes;
};

// A --previous folder.
struct PreviousRelease
{
    QString dir;
    // The release folder itself: nothing to patch from.
    bool isRelease = false;
};

// What one earlier release gets for a component.
struct PatchNote
{
    int release = 0;
    // Index into Component::patches; -1 with why telling the reason.
    int patch = -1;
    QString why;
    // Of the earlier file, when there is one.
    QByteArray baseSha256;
};

void complain(const QString &message)
{
    std::fprintf(stderr, "korvel-manifest: %s\n", qPrintable(message));
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The updater builds each target as "<install path>/<name>", so the name must
// be one plain path element; XML cannot carry most control characters, and
// parsers turn a carriage return into a line feed.
QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("a component needs a non-empty file name");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("the file name %1 holds \"/\" or \"\\\"; the updater needs a plain "
                              "file name").arg(quoted(name));
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("the file name %1 is not a file").arg(quoted(name));
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the file name %1 holds a control character, which the "
                                  "manifest cannot carry").arg(quoted(name));
    }
    // What the updater refuses to write, told at publishing time.
    const QString refused = FileOps::fileNameProblem(name);
    if (!refused.isEmpty())
        return QStringLiteral("the file name %1 is refused (%2): the updater never writes it")
                .arg(quoted(name), refused);
    return QString();
}

bool checkBaseUrl(const QString &text, QString *base)
{
    const QUrl url(text.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        complain(QStringLiteral("the base URL %1 is not an http or https address")
                 .arg(quoted(text)));
        return false;
    }
    if (url.host().isEmpty()) {
        complain(QStringLiteral("the base URL %1 has no host").arg(quoted(text)));
        return false;
    }
    if (url.hasQuery() || url.hasFragment()) {
        complain(QStringLiteral("the base URL %1 has a query or fragment; file names are "
                                "appended to its path").arg(quoted(text)));
        return false;
    }
    *base = url.toString(QUrl::FullyEncoded);
    if (!base->endsWith(QLatin1Char('/')))
        *base += QLatin1Char('/');
    return true;
}

bool checkDirectory(const QString &path)
{
    const QFileInfo dirInfo(path);
    if (!dirInfo.exists()) {
        complain(QStringLiteral("the directory %1 does not exist").arg(quoted(path)));
        return false;
    }
    if (!dirInfo.isDir()) {
        complain(QStringLiteral("%1 is not a directory").arg(quoted(path)));
        return false;
    }
    if (!dirInfo.isReadable() || !dirInfo.isExecutable()) {
        complain(QStringLiteral("cannot read the directory %1").arg(quoted(path)));
        return false;
    }
    return true;
}

// The files the tool itself writes, and standard output when it is a file:
// an earlier run's manifest or signature there is never a component.
struct OwnFiles
{
    FileIdentity output;
    FileIdentity outputSignature;
    FileIdentity standardOutput;
};

// An earlier manifest: XML whose root is "model". An empty file is what a
// shell's "> FILE" leaves before the tool starts.
bool looksLikeManifest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() == 0)
        return true;
    QXmlStreamReader reader(file.read(64 * 1024));
    return reader.readNextStartElement() && reader.name() == QLatin1String("model");
}

// A signature file as the tool writes it: one line of Base64, 64 bytes.
bool looksLikeSignature(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ComponentSignature::MaximumFileSize)
        return false;
    const QByteArray line = file.readAll().trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    return !line.contains('\n') && decoded && (*decoded).size() == ComponentSignature::SignatureSize;
}

QString replaceProblem(const QString &what, const QString &component)
{
    return QStringLiteral("%1 would replace the component %2; choose another name")
            .arg(what, quoted(component));
}

// What the updater keeps in an installed folder between runs, which a
// publisher may make a release of: empty for any other name.
QString updaterFileKind(const QString &name)
{
    const auto is = [&](const char *own) {
        return name.compare(QLatin1String(own), Qt::CaseInsensitive) == 0;
    };
    if (is("KorvelUpdater.lock"))
        return QStringLiteral("the updater's lock file");
    if (is("KorvelUpdater.kept"))
        return QStringLiteral("the updater's kept downloads");
    if (is("KorvelUpdater.kept.index"))
        return QStringLiteral("the index of the updater's kept downloads");
    return QString();
}

// Every file of the directory, sorted by name; subdirectories are skipped,
// and so are the tool's own files: the signatures of its components
// ("<name>.sig"), the manifest and its signature. False when an output file
// would replace a component.
bool listDirectory(const QString &path, const OwnFiles &own, QVector<QFileInfo> *files)
{
    const QDir dir(path);
    const QLatin1String signatureSuffix(".sig");
    const QFileInfoList entries = dir.entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (ReleaseWriter::isLeftover(name) || name == JournalName)
            continue;
        const QString updaterFile = updaterFileKind(name);
        if (!updaterFile.isEmpty()) {
            complain(QStringLiteral("skipping %1 %2").arg(updaterFile, quoted(name)));
            continue;
        }
        if (entry.isDir()) {
            if (name != DeltaFolder)
                complain(QStringLiteral("skipping the subdirectory %1").arg(quoted(name)));
            continue;
        }
        // Compared by identity: a link to the folder, another letter case
        // or a short name leads to the same file.
        const FileIdentity identity = FileIdentity::of(entry.filePath());
        if (identity == own.standardOutput)
            continue;
        if (identity == own.output) {
            if (looksLikeManifest(entry.filePath()))
                continue;
            complain(replaceProblem(QStringLiteral("the output file"), name));
            return false;
        }
        if (identity == own.outputSignature) {
            if (looksLikeSignature(entry.filePath()))
                continue;
            complain(replaceProblem(QStringLiteral("the manifest's signature"), name));
            return false;
        }
        if (name.endsWith(signatureSuffix)
            && dir.exists(name.left(name.size() - signatureSuffix.size()))
            && looksLikeSignature(entry.filePath())) {
            complain(QStringLiteral("skipping the signature %1").arg(quoted(name)));
            continue;
        }
        files->append(entry);
    }
    std::sort(files->begin(), files->end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.fileName() < b.fileName();
    });
    return true;
}

bool measure(const QFileInfo &info, qint64 *size)
{
    const QString path = info.filePath();
    if (!info.exists()) {
        complain(QStringLiteral("cannot read %1: no such file").arg(quoted(path)));
        return false;
    }
    // Opening a pipe or a device for reading could block or never end.
    if (!info.isFile()) {
        complain(QStringLiteral("%1 is not a regular file").arg(quoted(path)));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
        return false;
    }
    *size = file.size();
    return true;
}

// "NAME=DIR" where NAME may itself hold "=": the split is the one whose left
// side names a component.
bool splitOverride(const QString &text, const QSet<QString> &names, QString *name, QString *dir)
{
    for (int i = text.indexOf(QLatin1Char('=')); i >= 0;
         i = text.indexOf(QLatin1Char('='), i + 1)) {
        if (names.contains(text.left(i))) {
            *name = text.left(i);
            *dir = text.mid(i + 1);
            return true;
        }
    }
    return false;
}

// serial: empty when the manifest is not signed.
QByteArray writeManifest(const QVector<Component> &components, const QString &base,
                         const QString &version, const QString &requireUac, const QString &serial)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("model"));
    if (!serial.isEmpty())
        writer.writeAttribute(QStringLiteral("serial"), serial);
    for (const Component &component : components) {
        writer.writeStartElement(QStringLiteral("item"));
        writer.writeTextElement(QStringLiteral("name"), component.name);
        writer.writeTextElement(QStringLiteral("version"), version);
        writer.writeTextElement(QStringLiteral("url"),
                                base + QString::fromLatin1(QUrl::toPercentEncoding(component.name)));
        writer.writeTextElement(QStringLiteral("installlocation"), component.location);
        writer.writeTextElement(QStringLiteral("filesize"), QString::number(component.size));
        writer.writeTextElement(QStringLiteral("requireuac"), requireUac);
        writer.writeTextElement(QStringLiteral("sha256"), QString::fromLatin1(component.sha256));
        const auto url = [&](const Delta &delta) {
            return base + DeltaFolder + QLatin1Char('/')
                    + QString::fromLatin1(QUrl::toPercentEncoding(delta.fileName));
        };
        if (!component.compressed.fileName.isEmpty()) {
            writer.writeStartElement(QStringLiteral("compressed"));
            writer.writeAttribute(QStringLiteral("size"), QString::number(component.compressed.size));
            writer.writeAttribute(QStringLiteral("sha256"),
                                  QString::fromLatin1(component.compressed.sha256));
            writer.writeCharacters(url(component.compressed));
            writer.writeEndElement();
        }
        for (const Delta &patch : component.patches) {
            writer.writeStartElement(QStringLiteral("patch"));
            writer.writeAttribute(QStringLiteral("base"), QString::fromLatin1(patch.baseSha256));
            writer.writeAttribute(QStringLiteral("size"), QString::number(patch.size));
            writer.writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(patch.sha256));
            writer.writeCharacters(url(patch));
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    if (!xml.endsWith('\n'))
        xml += '\n';
    return xml;
}

bool readKey(const QString &keyPath, ComponentSignature::PrivateKey *key)
{
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read the key %1: %2").arg(quoted(keyPath), keyFile.errorString()));
        return false;
    }
    // Once: an encrypted key asks for its passphrase here, and only here.
    QString error;
    if (!key->read(keyFile.readAll(), &error)) {
        complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
        return false;
    }
    return true;
}

// A file's bytes for reading, mapped rather than read: a patch's decoder and
// encoder take them in place.
class MappedFile
{
public:
    bool open(const QString &path)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
            return false;
        }
        if (file.size() == 0)
            return true;
        bytes = reinterpret_cast<const char *>(file.map(0, file.size()));
        if (!bytes)
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
        return bytes;
    }
    const char *data() const { return bytes ? bytes : ""; }
    qint64 size() const { return file.size(); }
    QByteArray sha256() const
    {
        Sha256 hash;
        for (qint64 at = 0; at < size(); at += 1 << 20)
            hash.add(data() + at, qMin<qint64>(1 << 20, size() - at));
        return hash.hex();
    }

private:
    QFile file;
    const char *bytes = nullptr;
};

// One file of korvel-delta/ being made: the encoder writes into the staged
// file from a thread of its own, and counts what it has read.
struct DeltaJob
{
    QFile *file = nullptr;
    std::function<bool(const ZstdSink &, const ZstdEncoder::Progress &, QString *)> produce;
    qint64 input = 0;
    std::atomic<qint64> done{0};
    Sha256 hash;
    qint64 size = 0;
    bool written = false;
    QString error;

    void run()
    {
        written = produce(
                [this](const char *data, qint64 length) {
                    hash.add(data, length);
                    size += length;
                    return file->write(data, length) == length;
                },
                [this](qint64 bytes) { done = bytes; }, &error)
                && file->flush();
        if (file->error() != QFileDevice::NoError)
            error = file->errorString();
        done = input;
    }
};

// Runs the jobs side by side; past a few seconds, tells how far they are on
// standard error, so that a large component does not look like a hang.
void runJobs(const QString &name, const std::vector<DeltaJob *> &jobs)
{
    std::vector<std::thread> threads;
    for (DeltaJob *job : jobs)
        threads.emplace_back([job] { job->run(); });
    qint64 total = 0;
    for (const DeltaJob *job : jobs)
        total += job->input;
    QElapsedTimer clock;
    clock.start();
    qint64 told = 0;
    // Short at first: most components take a moment, and a release may have
    // thousands.
    int pause = 1;
    for (;;) {
        qint64 done = 0;
        for (const DeltaJob *job : jobs)
            done += job->done;
        if (done >= total)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        pause = qMin(pause * 2, 100);
        if (clock.elapsed() >= told + 5000) {
            complain(QStringLiteral("%1: %2 % of its compressed copy and patches made")
                     .arg(name).arg(total > 0 ? done * 100 / total : 0));
            told = clock.elapsed();
        }
    }
    for (std::thread &thread : threads)
        thread.join();
}

// Decodes the staged patch against its earlier file, as an updater will:
// into a scratch file of the writer's, mapped, which is the decoder's window,
// so that the tool's own memory does not grow with the component. Empty when
// the result is the new file, else why not.
QString patchProblem(ReleaseWriter *writer, QFile *patchFile, const MappedFile &base,
                     const Component &component)
{
    MappedFile patch;
    if (!patch.open(patchFile->fileName()))
        return QStringLiteral("it could not be read");
    QFile *scratch = writer->stage(patchFile->fileName() + QStringLiteral(".check"));
    if (!scratch)
        return writer->errorString();
    QString error;
    uchar *output = nullptr;
    if (component.size > 0 && !(output = FileMap::mapForWriting(scratch, component.size, &error))) {
        writer->discard(scratch);
        return QStringLiteral("cannot decode it into %1: %2").arg(quoted(scratch->fileName()), error);
    }
    ZstdDecoder decoder(component.size, base.data(), base.size());
    if (output)
        decoder.setOutput(reinterpret_cast<char *>(output), component.size);
    Sha256 hash;
    const bool decoded = decoder.write(patch.data(), patch.size(), [&](const char *data, qint64 size) {
        hash.add(data, size);
        return true;
    }) && decoder.finish();
    if (output)
        scratch->unmap(output);
    writer->discard(scratch);
    if (!decoded)
        return decoder.errorString();
    if (decoder.decodedSize() != component.size || hash.hex() != component.sha256)
        return QStringLiteral("it did not give the new file");
    return QString();
}

QString sizeLimitText()
{
    const qint64 mib = ZstdEncoder::PatchSizeLimit >> 20;
    return mib % 1024 == 0 ? QStringLiteral("%1 GiB").arg(mib / 1024) : QStringLiteral("%1 MiB").arg(mib);
}

// The component's compressed copy, where it is below 95 % of the file, and a
// patch from each earlier release whose file of that name differs, where it
// is at most 90 % of what an update would fetch without it.
bool stageDeltas(ReleaseWriter *writer, const QString &deltaDir, const MappedFile &file,
                 const QVector<PreviousRelease> &previous, Component *component)
{
    const auto stage = [&](const QString &fileName, DeltaJob *job) {
        job->file = writer->stage(deltaDir + QLatin1Char('/') + fileName);
        if (!job->file)
            complain(writer->errorString());
        return job->file;
    };
    std::vector<std::unique_ptr<DeltaJob>> jobs;
    auto copy = std::make_unique<DeltaJob>();
    copy->input = file.size();
    copy->produce = [&](const ZstdSink &sink, const ZstdEncoder::Progress &progress, QString *error) {
        // Its jobs are independent: one worker per core.
        return ZstdEncoder::compress(file.data(), file.size(), sink, error,
                                     qMax(1, QThread::idealThreadCount()), progress);
    };
    if (!stage(component->name + QStringLiteral(".zst"), copy.get()))
        return false;
    jobs.push_back(std::move(copy));

    // Per earlier release: its file, and the patch job (or why there is none).
    struct Base
    {
        MappedFile file;
        QByteArray sha256;
        int job = -1;
    };
    std::vector<std::unique_ptr<Base>> bases(previous.size());
    QSet<QByteArray> seen;
    for (int i = 0; i < previous.size(); ++i) {
        const PreviousRelease &release = previous.at(i);
        PatchNote note;
        note.release = i;
        if (release.isRelease) {
            component->patchNotes.append(note);
            continue;
        }
        const QFileInfo baseInfo(QDir(release.dir).filePath(component->name));
        if (!baseInfo.isFile()) {
            note.why = QStringLiteral("no such file there");
            component->patchNotes.append(note);
            continue;
        }
        auto base = std::make_unique<Base>();
        if (!base->file.open(baseInfo.filePath()))
            return false;
        base->sha256 = base->file.sha256();
        note.baseSha256 = base->sha256;
        if (base->sha256 == component->sha256) {
            note.why = QStringLiteral("unchanged");
        } else if (seen.contains(base->sha256)) {
            note.why = QStringLiteral("the same file as in an earlier --previous");
        } else if (file.size() > ZstdEncoder::PatchSizeLimit
                   || base->file.size() > ZstdEncoder::PatchSizeLimit) {
            note.why = QStringLiteral("patches are made for files of at most %1").arg(sizeLimitText());
        } else {
            seen.insert(base->sha256);
            auto job = std::make_unique<DeltaJob>();
            job->input = file.size();
            const Base *reference = base.get();
            job->produce = [&file, reference](const ZstdSink &sink, const ZstdEncoder::Progress &progress,
                                              QString *error) {
                return ZstdEncoder::createPatch(reference->file.data(), reference->file.size(),
                                                file.data(), file.size(), sink, error, progress);
            };
            if (!stage(component->name + QStringLiteral(".from-")
                               + QString::fromLatin1(base->sha256.left(16))
                               + QStringLiteral(".zstpatch"),
                       job.get()))
                return false;
            base->job = int(jobs.size());
            jobs.push_back(std::move(job));
        }
        component->patchNotes.append(note);
        bases[size_t(i)] = std::move(base);
    }

    std::vector<DeltaJob *> running;
    for (const auto &job : jobs)
        running.push_back(job.get());
    runJobs(component->name, running);
    for (const auto &job : jobs) {
        if (!job->written) {
            complain(QStringLiteral("cannot write %1: %2").arg(quoted(job->file->fileName()), job->error));
            return false;
        }
    }
    const auto delta = [](DeltaJob &job) {
        Delta result;
        result.fileName = QFileInfo(job.file->fileName()).fileName();
        result.size = job.size;
        result.sha256 = job.hash.hex();
        return result;
    };

    // Not clearly smaller: the file itself costs no more, and decodes in no time.
    DeltaJob &copyJob = *jobs.front();
    if (copyJob.size * 100 < file.size() * 95) {
        component->compressed = delta(copyJob);
        component->compressed.fileName = component->name + QStringLiteral(".zst");
    } else {
        writer->discard(copyJob.file);
    }
    const qint64 without = component->compressed.fileName.isEmpty() ? component->size
                                                                       : component->compressed.size;
    for (PatchNote &note : component->patchNotes) {
        Base *base = bases[size_t(note.release)].get();
        if (!base || base->job < 0)
            continue;
        DeltaJob &job = *jobs[size_t(base->job)];
        if (job.size * 10 > without * 9) {
            note.why = QStringLiteral("%1 bytes, not below 90 % of the %2").arg(job.size)
                    .arg(component->compressed.fileName.isEmpty() ? QStringLiteral("file")
                                                                  : QStringLiteral("compressed copy"));
            writer->discard(job.file);
            continue;
        }
        const QString problem = patchProblem(writer, job.file, base->file, *component);
        if (!problem.isEmpty()) {
            note.why = problem;
            complain(QStringLiteral("the patch for %1 from %2 does not give the new file (%3); left out")
                     .arg(quoted(component->name), quoted(previous.at(note.release).dir), problem));
            writer->discard(job.file);
            continue;
        }
        Delta patch = delta(job);
        patch.fileName = component->name + QStringLiteral(".from-")
                + QString::fromLatin1(base->sha256.left(16)) + QStringLiteral(".zstpatch");
        patch.baseSha256 = base->sha256;
        note.patch = component->patches.size();
        component->patches.append(patch);
    }
    return true;
}

// Hashes every component and stages its compressed copy and patches; with a
// key, "<file>.sig" beside it: updaters from before signed manifests check
// each component by it.
bool stageComponents(ReleaseWriter *writer, const QString &releaseDir,
                     const QVector<PreviousRelease> &previous,
                     const QString &keyPath, const ComponentSignature::PrivateKey *key,
                     const QVector<QFileInfo> &files, QVector<Component> *components)
{
    const QString deltaDir = QDir(releaseDir).filePath(DeltaFolder);
    if (!writer->makeFolder(deltaDir)) {
        complain(writer->errorString());
        return false;
    }
    for (int i = 0; i < files.size(); ++i) {
        const QFileInfo &info = files.at(i);
        Component &component = (*components)[i];
        MappedFile file;
        if (!file.open(info.filePath()))
            return false;
        component.sha256 = file.sha256();
        if (key) {
            QString error;
            const QByteArray line = key->sign(
                    ComponentSignature::message(info.fileName(), component.sha256), &error);
            if (line.isEmpty()) {
                complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
                return false;
            }
            if (!writer->stage(info.filePath() + QStringLiteral(".sig"), line)) {
                complain(writer->errorString());
                return false;
            }
        }
        if (!stageDeltas(writer, deltaDir, file, previous, &component))
            return false;
    }
    return true;
}

// The manifest, and its signature beside it.
bool stageManifest(ReleaseWriter *writer, const QString &path, const QString &keyPath,
                   const ComponentSignature::PrivateKey *key, const QByteArray &xml)
{
    if (key) {
        Sha256 hash;
        hash.add(xml);
        QString error;
        const QByteArray line = key->sign(ComponentSignature::releaseMessage(hash.hex()), &error);
        if (line.isEmpty()) {
            complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
            return false;
        }
        if (!writer->stage(path + QStringLiteral(".sig"), line)) {
            complain(writer->errorString());
            return false;
        }
    }
    if (!writer->stage(path, xml)) {
        complain(writer->errorString());
        return false;
    }
    return true;
}

bool writeStandardOutput(const QByteArray &xml)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly) || out.write(xml) != xml.size() || !out.flush()) {
        complain(QStringLiteral("cannot write to standard output: %1").arg(out.errorString()));
        return false;
    }
    return true;
}


// What a user fetches for the component who has earlier file (none: a new
// installation, or a file no --previous had).
qint64 fetchedFor(const Component &component, const PatchNote *note)
{
    if (note && note->baseSha256 == component.sha256)
        return 0;
    if (note && note->patch >= 0)
        return component.patches.at(note->patch).size;
    return component.compressed.fileName.isEmpty() ? component.size : component.compressed.size;
}

QString percentOf(qint64 part, qint64 whole)
{
    return whole > 0 ? QString::number(double(part) * 100 / double(whole), 'f', 1) + QStringLiteral(" %")
                     : QStringLiteral("0 %");
}

// One line per component, and what each kind of user fetches.
void report(FILE *out, const QVector<Component> &components, const QVector<PreviousRelease> &previous,
            const QString &releaseDir)
{
    qint64 total = 0;
    qint64 fresh = 0;
    qint64 deltas = 0;
    for (const Component &component : components) {
        QStringList parts;
        parts << QStringLiteral("%1 bytes").arg(component.size);
        if (component.compressed.fileName.isEmpty())
            parts << QStringLiteral("no compressed copy (not below 95 % of the file)");
        else
            parts << QStringLiteral("compressed copy %1 bytes (%2)")
                     .arg(component.compressed.size)
                     .arg(percentOf(component.compressed.size, component.size));
        for (const PatchNote &note : component.patchNotes) {
            const QString &dir = previous.at(note.release).dir;
            if (previous.at(note.release).isRelease)
                continue;
            if (note.patch >= 0)
                parts << QStringLiteral("patch from %1 %2 bytes")
                         .arg(quoted(dir)).arg(component.patches.at(note.patch).size);
            else
                parts << QStringLiteral("no patch from %1: %2").arg(quoted(dir), note.why);
        }
        std::fprintf(out, "%s: %s\n", qPrintable(component.name), qPrintable(parts.join(QStringLiteral("; "))));
        total += component.size;
        fresh += fetchedFor(component, nullptr);
        deltas += component.compressed.size;
        for (const Delta &patch : component.patches)
            deltas += patch.size;
    }
    std::fprintf(out, "release: %d components, %lld bytes; korvel-delta/ %lld bytes\n",
                 int(components.size()), qint64(total), qint64(deltas));
    std::fprintf(out, "a new installation fetches %lld bytes (%s)\n", qint64(fresh),
                 qPrintable(percentOf(fresh, total)));
    for (int i = 0; i < previous.size(); ++i) {
        if (previous.at(i).isRelease)
            continue;
        qint64 fetched = 0;
        for (const Component &component : components)
            fetched += fetchedFor(component, &component.patchNotes.at(i));
        std::fprintf(out, "a user of %s fetches %lld bytes (%s)\n", qPrintable(quoted(previous.at(i).dir)),
                     qint64(fetched), qPrintable(percentOf(fetched, total)));
    }
    std::fprintf(out, "upload %s with its folder korvel-delta/, then check it with korvel-manifest --check\n",
                 qPrintable(quoted(releaseDir)));
    std::fflush(out);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvel-manifest"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVEL_VERSION));
    if (ReleaseCheck::wanted(QCoreApplication::arguments()))
        return ReleaseCheck::run(QCoreApplication::arguments());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes the component manifest that KorvelUpdater reads: one item per file of\n"
            "DIRECTORY, with its name, version, url (BASE-URL followed by the percent-encoded\n"
            "file name), install location, size in bytes, requireuac flag and SHA-256.\n"
            "\n"
            "Beside the components, in DIRECTORY/korvel-delta/, it writes a zstd-compressed\n"
            "copy of every component that it makes below 95 % of its size (NAME.zst) and,\n"
            "with --previous, patches from earlier releases (NAME.from-HASH.zstpatch),\n"
            "listed in each item for updaters that can use them; \"url\" still names the\n"
            "whole file. Files there that no item lists any more are removed. Upload\n"
            "DIRECTORY as it is, korvel-delta/ included.\n"
            "\n"
            "It prints a line per component and what each kind of user will fetch (on\n"
            "standard error when the manifest goes to standard output).\n"
            "\n"
            "Without NAMEs every file of DIRECTORY is listed, sorted by name (by Unicode\n"
            "code units, whatever the locale); subdirectories are skipped with a note, since\n"
            "the updater installs plain files only. With NAMEs only those files are listed,\n"
            "in the order given. The output file is never listed itself.\n"
            "\n"
            "With --sign-key (and --output), the manifest is signed for an updater built\n"
            "with the matching public key: the manifest gets a serial, and FILE.sig holds\n"
            "its Ed25519 signature.\n"
            "NAME.sig is written beside every component too, for keyed updaters from\n"
            "before signed manifests. Signature files are never listed as components.\n"
            "\n"
            "No output or signature file ever replaces a component: such a run stops, and\n"
            "a run that fails leaves DIRECTORY and the output file as they were. A run\n"
            "that was killed is undone by the next one in DIRECTORY. Without --sign-key,\n"
            "an earlier FILE.sig and NAME.sig are removed.\n"
            "\n"
            "A file name must not be empty, hold \"/\", \"\\\" or a control character.\n"
            "Exit status: 0 on success, 1 for a directory, file, name or URL that cannot be\n"
            "used, 2 for a wrong command line."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("DIRECTORY"),
                                 QStringLiteral("Directory holding the component files."));
    parser.addPositionalArgument(QStringLiteral("BASE-URL"),
                                 QStringLiteral("http or https address the files are served under."));
    parser.addPositionalArgument(QStringLiteral("NAME"),
                                 QStringLiteral("Only these files, in this order."),
                                 QStringLiteral("[NAME...]"));
    const QCommandLineOption outputOption(
            {QStringLiteral("o"), QStringLiteral("output")},
            QStringLiteral("Write the manifest to FILE instead of standard output."),
            QStringLiteral("FILE"));
    const QCommandLineOption versionOption(
            QStringLiteral("component-version"),
            QStringLiteral("Version written for every component (default: empty)."),
            QStringLiteral("VERSION"));
    const QCommandLineOption installOption(
            QStringLiteral("install-location"),
            QStringLiteral("Install location of every component (default: \"installdir\", "
                           "the updater's own directory)."),
            QStringLiteral("DIR"), QStringLiteral("installdir"));
    const QCommandLineOption locationOption(
            QStringLiteral("location"),
            QStringLiteral("Install location of the one component NAME; may be repeated."),
            QStringLiteral("NAME=DIR"));
    const QCommandLineOption uacOption(
            QStringLiteral("require-uac"),
            QStringLiteral("Mark every component as needing elevated rights (default: false)."));
    const QCommandLineOption signOption(
            QStringLiteral("sign-key"),
            QStringLiteral("Sign the release with this Ed25519 private key (PEM): FILE.sig "
                           "beside the manifest, NAME.sig beside every component."),
            QStringLiteral("PRIVATE.pem"));
    const QCommandLineOption serialOption(
            QStringLiteral("serial"),
            QStringLiteral("The signed release's serial, higher than any before (default: the "
                           "time in seconds since 1970)."),
            QStringLiteral("N"));
    const QCommandLineOption previousOption(
            QStringLiteral("previous"),
            QStringLiteral("Folder of an earlier release's components: a patch from its file of "
                           "the same name, where that is at most 90 % of the compressed copy; "
                           "may be repeated."),
            QStringLiteral("DIR"));
    parser.addOptions({outputOption, versionOption, installOption, locationOption, uacOption,
                       signOption, serialOption, previousOption});

    if (!parser.parse(QCoreApplication::arguments())) {
        complain(parser.errorText());
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Success;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("korvel-manifest %s\n", KORVEL_VERSION);
        return Success;
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2) {
        complain(QStringLiteral("expected a DIRECTORY and a BASE-URL (see --help)"));
        return UsageError;
    }

    const QString outputPath = parser.value(outputOption);
    const bool signing = parser.isSet(signOption);
    if (signing && (outputPath.isEmpty() || outputPath == QLatin1String("-"))) {
        complain(QStringLiteral("--sign-key needs --output FILE: the signature goes beside it"));
        return UsageError;
    }
    if (parser.isSet(serialOption) && !signing) {
        complain(QStringLiteral("--serial is for a signed manifest (--sign-key)"));
        return UsageError;
    }
    QString serial = parser.value(serialOption);
    if (parser.isSet(serialOption)) {
        // Decimal digits that fit 64 bits, as the updater reads them.
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
        bool ok = false;
        if (digits.match(serial).hasMatch())
            serial.toULongLong(&ok, 10);
        if (!ok) {
            complain(QStringLiteral("--serial %1 is not a decimal integer of 64 bits")
                     .arg(quoted(serial)));
            return UsageError;
        }
    }
    if (signing && serial.isEmpty())
        serial = QString::number(QDateTime::currentSecsSinceEpoch());

    QString base;
    if (!checkBaseUrl(arguments.at(1), &base))
        return InputError;

    const bool toStandardOutput = outputPath.isEmpty() || outputPath == QLatin1String("-");
    OwnFiles own;
    if (toStandardOutput) {
        own.standardOutput = FileIdentity::ofStandardOutput();
    } else {
        own.output = FileIdentity::of(outputPath);
        own.outputSignature = FileIdentity::of(outputPath + QStringLiteral(".sig"));
    }
    const QString releaseDir = arguments.at(0);
    if (!checkDirectory(releaseDir))
        return InputError;
    // A run stopped while it renamed is undone first: the folder is then the
    // release from before it, and its temporary files go.
    const QString deltaDir = QDir(releaseDir).filePath(DeltaFolder);
    {
        QString error;
        if (!ReleaseWriter::recover(QDir(releaseDir).filePath(JournalName), &error)) {
            complain(error);
            return InputError;
        }
        QStringList folders = {releaseDir, deltaDir};
        if (!toStandardOutput)
            folders << QFileInfo(outputPath).absolutePath();
        folders.removeDuplicates();
        for (const QString &folder : folders) {
            for (const QString &name : ReleaseWriter::removeLeftovers(folder))
                complain(QStringLiteral("removed %1, left by a run that was stopped")
                         .arg(quoted(QDir(folder).filePath(name))));
        }
    }
    QVector<PreviousRelease> previous;
    const QString releaseCanonical = QFileInfo(releaseDir).canonicalFilePath();
    for (const QString &previousDir : parser.values(previousOption)) {
        if (!checkDirectory(previousDir))
            return InputError;
        PreviousRelease release;
        release.dir = previousDir;
        release.isRelease = QFileInfo(previousDir).canonicalFilePath() == releaseCanonical;
        previous.append(release);
    }

    QVector<QFileInfo> files;
    const QStringList selected = arguments.mid(2);
    if (selected.isEmpty()) {
        if (!listDirectory(releaseDir, own, &files))
            return InputError;
    } else {
        QSet<QString> seen;
        const QDir dir(releaseDir);
        for (const QString &name : selected) {
            const QString problem = nameProblem(name);
            if (!problem.isEmpty()) {
                complain(problem);
                return InputError;
            }
            if (seen.contains(name)) {
                complain(QStringLiteral("the file name %1 is given twice").arg(quoted(name)));
                return InputError;
            }
            seen.insert(name);
            const QFileInfo info(dir.filePath(name));
            if (info.isDir()) {
                complain(QStringLiteral("%1 is a directory").arg(quoted(info.filePath())));
                return InputError;
            }
            const FileIdentity identity = FileIdentity::of(info.filePath());
            if (identity == own.output || identity == own.outputSignature
                || identity == own.standardOutput) {
                complain(replaceProblem(QStringLiteral("the output file"), name));
                return InputError;
            }
            files.append(info);
        }
    }

    if (files.isEmpty()) {
        complain(QStringLiteral("no component files in %1").arg(quoted(arguments.at(0))));
        return InputError;
    }

    QVector<Component> components;
    QSet<QString> names;
    for (const QFileInfo &info : files) {
        Component component;
        component.name = info.fileName();
        const QString problem = nameProblem(component.name);
        if (!problem.isEmpty()) {
            complain(problem);
            return InputError;
        }
        if (!measure(info, &component.size))
            return InputError;
        component.location = parser.value(installOption);
        names.insert(component.name);
        components.append(component);
    }

    QHash<QString, QString> overrides;
    for (const QString &text : parser.values(locationOption)) {
        QString name;
        QString dir;
        if (!splitOverride(text, names, &name, &dir)) {
            complain(QStringLiteral("--location %1 does not name a listed component (NAME=DIR)")
                     .arg(quoted(text)));
            return InputError;
        }
        overrides.insert(name, dir);
    }
    for (Component &component : components) {
        component.location = overrides.value(component.name, component.location);
        // The updater would put the file at the file system root.
        if (component.location.isEmpty()) {
            complain(QStringLiteral("the install location of %1 is empty")
                     .arg(quoted(component.name)));
            return InputError;
        }
    }

    if (signing) {
        // Its own signature would replace a component of the same name.
        QHash<FileIdentity, QString> identities;
        for (const QFileInfo &info : files)
            identities.insert(FileIdentity::of(info.filePath()), info.fileName());
        for (const QFileInfo &info : files) {
            const FileIdentity signature = FileIdentity::of(info.filePath() + QStringLiteral(".sig"));
            if (identities.contains(signature)) {
                complain(replaceProblem(QStringLiteral("the signature of ") + quoted(info.fileName()),
                                        identities.value(signature)));
                return InputError;
            }
        }
    }

    // Either costs every user of that release the whole compressed copy.
    for (const PreviousRelease &release : previous) {
        if (release.isRelease) {
            complain(QStringLiteral("warning: --previous %1 is the release itself; no patch from it")
                     .arg(quoted(release.dir)));
            continue;
        }
        const bool shares = std::any_of(components.cbegin(), components.cend(), [&](const Component &c) {
            return QFileInfo(QDir(release.dir).filePath(c.name)).isFile();
        });
        if (!shares)
            complain(QStringLiteral("warning: --previous %1 holds no file of the release's names; is "
                                    "it the folder of an earlier release's components?")
                     .arg(quoted(release.dir)));
    }

    ComponentSignature::PrivateKey key;
    if (signing && !readKey(parser.value(signOption), &key))
        return InputError;
    const ComponentSignature::PrivateKey *signingKey = signing ? &key : nullptr;

    // Nothing takes its place until everything is written.
    ReleaseWriter writer;
    writer.setJournal(QDir(releaseDir).filePath(JournalName));
    if (!stageComponents(&writer, releaseDir, previous, parser.value(signOption), signingKey,
                         files, &components))
        return InputError;
    // What no item lists any more: a later upload would carry it for nothing.
    QSet<QString> listed;
    for (const Component &component : components) {
        listed.insert(component.compressed.fileName);
        for (const Delta &patch : component.patches)
            listed.insert(patch.fileName);
    }
    QStringList unlisted;
    for (const QString &name : QDir(deltaDir).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!listed.contains(name) && !ReleaseWriter::isLeftover(name)) {
            writer.remove(QDir(deltaDir).filePath(name));
            unlisted << name;
        }
    }
    // An unsigned manifest beside an old signature is refused as altered.
    const QString staleSignature = outputPath + QStringLiteral(".sig");
    const bool removeSignature = !signing && !toStandardOutput && QFileInfo(staleSignature).isFile()
            && looksLikeSignature(staleSignature);
    if (removeSignature)
        writer.remove(staleSignature);
    // The same for a component's: a keyed updater from before signed
    // manifests would refuse the new file by it.
    QStringList staleComponentSignatures;
    if (!signing) {
        QSet<QString> componentNames;
        for (const QFileInfo &info : files)
            componentNames.insert(info.fileName());
        for (const QFileInfo &info : files) {
            const QString path = info.filePath() + QStringLiteral(".sig");
            if (!componentNames.contains(info.fileName() + QStringLiteral(".sig"))
                && QFileInfo(path).isFile() && looksLikeSignature(path)) {
                writer.remove(path);
                staleComponentSignatures << path;
            }
        }
    }
    const QByteArray xml = writeManifest(components, base, parser.value(versionOption),
                                         parser.isSet(uacOption) ? QStringLiteral("true")
                                                                 : QStringLiteral("false"),
                                         signing ? serial : QString());
    if (!toStandardOutput
        && !stageManifest(&writer, outputPath, parser.value(signOption), signingKey, xml))
        return InputError;
    if (!writer.commit()) {
        complain(writer.errorString());
        return InputError;
    }
    // Beside the manifest on standard output, the report goes to standard error.
    FILE *out = toStandardOutput ? stderr : stdout;
    for (const QString &name : unlisted)
        std::fprintf(out, "removed %s/%s: no item lists it any more\n", qPrintable(DeltaFolder),
                     qPrintable(name));
    if (removeSignature)
        std::fprintf(out, "removed %s: the manifest is not signed now\n", qPrintable(quoted(staleSignature)));
    for (const QString &path : staleComponentSignatures)
        std::fprintf(out, "removed %s: the release is not signed now\n", qPrintable(quoted(path)));
    if (toStandardOutput && !writeStandardOutput(xml))
        return InputError;
    report(out, components, previous, releaseDir);
    return Success;
}
