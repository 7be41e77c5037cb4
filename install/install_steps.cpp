// Install steps shared by the updater and the helper: unpack the downloaded archives in place on
// every core, then install the unpacked tree over the install root with ".bak" backups and a full
// rollback: every file written beside its target first, one flush, then the renames.
#include "install_steps.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "durable_file.h"
#include "file_removal.h"
#include "free_space.h"
#include "manifest.h"
#include "path_link.h"
#include "pool_each.h"
#include "release_files.h"
#include "zip_archive.h"

namespace install {

namespace {

// What one ReplaceFiles run changed in the install root, in order, so that a failed copy can
// undo all of it and a successful run can drop the previous backups it kept aside.
class Journal {
public:
    // An existing ".bak" moved to a temporary name; put back on rollback, removed on success.
    void KeptAside(const QString& backup, const QString& aside) { undo_.push_back({Kind::Aside, backup, aside}); }
    // The installed file renamed to its ".bak"; renamed back on rollback.
    void BackedUp(const QString& target, const QString& backup) { undo_.push_back({Kind::Backup, target, backup}); }
    // A file or folder that did not exist before this run.
    void CreatedFile(const QString& path) { undo_.push_back({Kind::File, path, {}}); }
    void CreatedFolder(const QString& path) { undo_.push_back({Kind::Folder, path, {}}); }

    void Commit() {
        for (const Change& change : undo_) {
            if (change.kind == Kind::Aside) platform::RemoveFile(change.other);
        }
        undo_.clear();
    }

    // Newest change first, so a folder is emptied before it is removed and a backup is back at
    // its ".bak" name before the older backup kept aside returns to that same name.
    // Returns how many files could not be put back (the installation is then mixed).
    int Rollback() {
        int notBack = 0;
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
            switch (it->kind) {
            case Kind::Aside:
            case Kind::Backup:
                if (!QFile::rename(it->other, it->path)) {
                    ++notBack;
                    qWarning("Rollback: %s could not be put back from %s", qUtf8Printable(it->path),
                             qUtf8Printable(it->other));
                }
                break;
            case Kind::File:
                platform::RemoveFile(it->path);
                break;
            case Kind::Folder:
                QDir().rmdir(it->path);  // only when empty: never takes anything it did not create
                break;
            }
        }
        undo_.clear();
        return notBack;
    }

private:
    enum class Kind { Aside, Backup, File, Folder };
    struct Change {
        Kind kind;
        QString path;
        QString other;
    };
    std::vector<Change> undo_;
};

// A free name next to the backup for keeping the previous backup until the run has succeeded.
QString AsideName(const QString& backup) {
    QString name = backup + QStringLiteral(".prev");
    for (int n = 1; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n) {
        name = backup + QStringLiteral(".prev") + QString::number(n);
    }
    return name;
}

// The folder holding path; "." for a bare name.
QString FolderOf(const QString& path) {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

// Creates the missing folders of dir one level at a time, so the journal knows exactly which
// ones this run made; the folders that gained one join touched. False when one cannot be created
// (the file then fails).
bool MakeFolders(const QString& dir, Journal& journal, QSet<QString>& touched) {
    QStringList missing;
    for (QString d = dir; !QFileInfo::exists(d);) {
        missing.prepend(d);
        const int up = d.lastIndexOf(QLatin1Char('/'));
        if (up <= 0) break;  // the top of an absolute or relative path
        d = d.left(up);
    }
    for (const QString& d : missing) {
        if (QFileInfo(d).isDir()) continue;  // a ".." segment may already name an existing folder
        if (!QDir().mkdir(d)) return false;
        journal.CreatedFolder(d);
        touched.insert(FolderOf(d));
    }
    return true;
}

// A file of the release on its way in: written beside its target under a staging name first,
// put in place once every file of the run is written and on the disk.
struct Staged {
    QString target;
    QString staging;
};

// The staging name of a target: its own name behind a dot and with a suffix of its own. A leading
// dot makes a name no manifest entry can have (IsManagedKey), and on POSIX one the managed-file
// walk skips as hidden, so it is never taken for an installed file. The name is the same on
// every run: a run killed before its renames leaves these files behind, and the next run
// installing the same file (the one still differing) writes over them and renames them away.
QString StagingName(const QString& target) {
    const int slash = target.lastIndexOf(QLatin1Char('/'));
    return target.left(slash + 1) + QLatin1Char('.') + target.mid(slash + 1) + QStringLiteral(".installing");
}

// Writes one file under its staging name beside target, creating the folders on the way. Fails
// when target's place is taken by anything but a file (a folder, say): the rename could not
// replace it later.
bool StageFile(const QString& source, const QString& target, Journal& journal, QSet<QString>& touched,
               Staged* staged) {
    const QFileInfo installed(target);
    if (installed.exists() && !installed.isFile()) return false;
    const QString folder = FolderOf(target);
    if (!MakeFolders(folder, journal, touched)) return false;
    touched.insert(folder);
    staged->target = target;
    staged->staging = StagingName(target);
    // The replaced file's marks stay where the archive says nothing of them (an executable, say).
    const std::string replaced = installed.exists() ? target.toStdString() : std::string();
    if (!platform::WriteCopy(source.toStdString(), staged->staging.toStdString(), replaced)) return false;
    journal.CreatedFile(staged->staging);
    return true;
}

// Puts one staged file in place: the installed file becomes its ".bak" (an older ".bak" kept
// aside until the run has succeeded), then the staged file takes its name. No rename ever
// replaces a name: whatever else took the target's place meanwhile fails the file, and the
// journal undoes the renames before.
bool PlaceFile(const Staged& staged, Journal& journal) {
    if (QFileInfo(staged.target).isFile()) {
        const QString backup = staged.target + release::kBackupSuffix;
        // A backup left by an earlier update must give way, or the rename below would fail
        // and this file could never be updated again.
        const QFileInfo old(backup);
        if (old.exists() || old.isSymLink()) {
            const QString aside = AsideName(backup);
            if (!platform::MoveNew(backup.toStdString(), aside.toStdString())) return false;
            journal.KeptAside(backup, aside);
        }
        if (!platform::MoveNew(staged.target.toStdString(), backup.toStdString())) return false;
        journal.BackedUp(staged.target, backup);
    }
    if (!platform::MoveNew(staged.staging.toStdString(), staged.target.toStdString())) return false;
    journal.CreatedFile(staged.target);
    return true;
}

// Flushes the entries of every folder in folders; false when they could not be.
bool FlushFolders(const QSet<QString>& folders) {
    std::vector<std::string> paths;
    paths.reserve(folders.size());
    for (const QString& folder : folders) paths.push_back(folder.toStdString());
    return platform::FlushFolders(paths);
}

QString LastZipResultText();

// What an archive's central directory declares: the bytes of its items (nothing when it cannot
// be read, and then it cannot be extracted either) and their names as a file system compares
// them (letter case folded, "/" separators).
struct ArchiveContents {
    std::optional<quint64> declared;
    QStringList names;
    QString unreadable;  // the engine's words when it cannot be read (its result is per thread)
};

ArchiveContents ReadContents(const QString& archive) {
    ArchiveContents contents;
    ZipHandle* zip = ZipOpenFromPath(archive.toStdWString().c_str(), nullptr);
    if (!zip) {
        contents.unreadable = LastZipResultText();
        return contents;
    }
    ZipItemInfo info;
    bool readable = ZipGetItemInfo(zip, -1, &info) == kZipSuccess;
    const std::int32_t count = info.index;
    quint64 total = 0;  // at most 65535 items under 4 GiB each: no overflow
    for (std::int32_t i = 0; readable && i < count; ++i) {
        readable = ZipGetItemInfo(zip, i, &info) == kZipSuccess;
        total += info.size;
        contents.names.append(QString::fromWCharArray(info.name).replace(QLatin1Char('\\'), QLatin1Char('/')).toCaseFolded());
    }
    if (!readable) contents.unreadable = LastZipResultText();
    ZipClose(zip);
    if (readable) contents.declared = total;
    return contents;
}

// Archives that write a file of the same name must not run at the same time (on Windows the
// second open of the file is a sharing violation) and must end as one thread would leave them:
// each group of archives linked by a shared name is one job, its archives in walk order. Groups
// come in the order of their first archive.
QVector<QVector<int>> Overlapping(const std::vector<ArchiveContents>& contents) {
    std::vector<int> parent(contents.size());
    for (std::size_t i = 0; i < parent.size(); ++i) parent[i] = static_cast<int>(i);
    const std::function<int(int)> root = [&](int i) { return parent[i] == i ? i : parent[i] = root(parent[i]); };
    QHash<QString, int> owner;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        for (const QString& name : contents[i].names) {
            const auto known = owner.constFind(name);
            if (known == owner.constEnd()) {
                owner.insert(name, static_cast<int>(i));
            } else {
                parent[root(static_cast<int>(i))] = root(*known);
            }
        }
    }
    QVector<QVector<int>> groups;
    QHash<int, int> groupOf;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const int r = root(static_cast<int>(i));
        if (!groupOf.contains(r)) {
            groupOf.insert(r, groups.size());
            groups.append(QVector<int>());
        }
        groups[groupOf.value(r)].append(static_cast<int>(i));
    }
    return groups;
}

// Whether items declaring total bytes fit in the free space of workDir's file system with room
// to spare, beyond the bytes that archives being extracted at the same time have claimed
// (claimed, which gets total added when it fits). The spare is a tenth plus 64 KiB (folder
// blocks, and whatever else writes there meanwhile): proportional, not a fixed amount, so that
// an update that fits a small disk still installs. A lying archive would otherwise fill the
// disk before its data turned out bad; refusing it up front writes nothing. Free space that
// cannot be told is no reason to refuse. The claims of other archives count in full although
// part of them may already be written and so missing from the free space: that errs on the
// side of refusing.
bool ClaimSpace(quint64 total, const QString& workDir, quint64& claimed, QMutex& mutex) {
    const std::int64_t available = platform::FreeBytes(workDir.toStdString());
    QMutexLocker lock(&mutex);
    if (available >= 0 && total + total / 10 + (quint64(64) << 10) + claimed > quint64(available)) return false;
    claimed += total;
    return true;
}

// The zip engine's text for the last result of this thread's calls.
QString LastZipResultText() {
    wchar_t text[128];
    ZipResultText(kZipUseLastResult, text, sizeof text / sizeof text[0]);
    return QString::fromWCharArray(text);
}

// The first entry of the path below installRoot (each folder on the way, then the file) that is a
// link, or empty. A copy, backup or rollback there would act wherever the link points, outside
// the install root. Folders found real once in this run (realFolders) are not looked at again:
// a release of thousands of files shares a few dozen folders.
QString LinkOnTheWay(const QString& installRoot, const QString& relative, QSet<QString>& realFolders) {
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path = installRoot;
    for (int i = 0; i < parts.size(); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        const bool folder = i + 1 < parts.size();
        if (folder && realFolders.contains(path)) continue;
        if (platform::IsLink(path.toStdString())) return path;
        if (folder) realFolders.insert(path);
    }
    return {};
}

}  // namespace

StepResult ExtractArchives(const QString& workDir, const std::function<void(const QString&)>& beforeEach,
                           QMap<QString, QString>* failures) {
    QStringList archives;
    QDirIterator it = release::WalkFiles(workDir, release::kArchiveNameFilter);
    while (it.hasNext()) {
        it.next();
        archives.append(it.fileInfo().canonicalFilePath());
    }
    if (archives.isEmpty()) return StepResult::NothingFound;
    if (beforeEach) {
        for (const QString& archive : archives) beforeEach(archive);
    }

    // Each archive is one job: read, inflate and write on one thread, so the engine's last
    // result a job reads after a failed call is that call's own (it is kept per thread). Reasons
    // go into a slot per archive and are gathered in walk order afterwards.
    std::vector<QString> reasons(archives.size());
    std::vector<ArchiveContents> contents(archives.size());
    release::PoolEach(archives.size(), [&](int i) { contents[i] = ReadContents(archives.at(i)); });
    const QVector<QVector<int>> groups = Overlapping(contents);
    QMutex spaceMutex;
    quint64 claimed = 0;
    const auto extract = [&](int i) {
        const QString& archive = archives.at(i);
        const std::optional<quint64>& declared = contents[i].declared;
        if (!declared) {
            reasons[i] = contents[i].unreadable;
        } else if (!ClaimSpace(*declared, workDir, claimed, spaceMutex)) {
            reasons[i] = QStringLiteral("its items declare more than the free space");
        } else {
            // Item paths are stored relative to the download directory, so every archive
            // extracts into the directory itself, wherever the archive lies below it.
            if (!ExtractZipToDir(archive.toStdWString(), workDir.toStdWString())) reasons[i] = LastZipResultText();
            QMutexLocker lock(&spaceMutex);
            claimed -= *declared;
        }
        // Either way the archive has served: extracted, or corrupt and due to be downloaded anew.
        QFile::remove(archive);
    };
    release::PoolEach(groups.size(), [&](int g) {
        for (const int i : groups.at(g)) extract(i);
    });

    bool failed = false;
    for (int i = 0; i < archives.size(); ++i) {
        if (reasons[i].isNull()) continue;
        failed = true;
        qWarning("Unpacking %s failed: %s", qUtf8Printable(archives.at(i)), qUtf8Printable(reasons[i]));
        if (failures) failures->insert(archives.at(i), reasons[i]);
    }
    return failed ? StepResult::Failed : StepResult::Done;
}

QStringList UnpackedFiles(const QString& workDir) {
    QStringList sources;
    QDirIterator it = release::WalkFiles(workDir);
    while (it.hasNext()) {
        it.next();
        const QString source = it.fileInfo().canonicalFilePath();
        if (source.isEmpty()) continue;  // vanished since it was listed
        const QString key = release::FileKey(source, workDir);
        if (key != kManifestKey && key != kSignatureKey) sources.append(source);
    }
    return sources;
}

bool CheckUnpacked(const QString& workDir, const QMap<QString, QString>& expectedMd5, const QSet<QString>& produced,
                   const QSet<QString>& leftOut, QStringList* sources) {
    sources->clear();
    // Names first, in walk order; then the digests of the named files on every core.
    QStringList named;
    QVector<QString> expected;
    QSet<QString> found;
    for (const QString& source : UnpackedFiles(workDir)) {
        // A path not spelled below workDir has no key; it is refused like an unnamed file.
        const QString key = release::FileKey(source, workDir);
        const auto it = expectedMd5.constFind(key);
        if (it == expectedMd5.cend()) {
            if (leftOut.contains(key)) continue;
            return false;
        }
        named.append(source);
        expected.append(it.value());
        found.insert(key);
    }
    std::atomic<bool> differs{false};
    release::PoolEach(named.size(), [&](int i) {
        if (differs.load(std::memory_order_relaxed)) return;  // the answer is no already
        if (!release::Md5Matches(release::FileMd5(named.at(i)), expected.at(i))) differs = true;
    });
    if (differs) return false;
    *sources = named;
    // An archive that held nothing, or only a name in another letter case, would leave the old
    // file in place while the rest of the update goes in.
    for (const QString& key : produced) {
        if (!found.contains(key)) return false;
    }
    return true;
}

StepResult ReplaceFiles(const QString& workDir, const QString& installRoot, const CopyHooks& hooks) {
    return ReplaceFiles(workDir, installRoot, UnpackedFiles(workDir), hooks);
}

StepResult ReplaceFiles(const QString& workDir, const QString& installRoot, const QStringList& sources,
                        const CopyHooks& hooks) {
    if (sources.isEmpty()) return StepResult::NothingFound;
    Journal journal;
    QSet<QString> realFolders;
    QSet<QString> touched;  // folders whose entries this run changes
    std::vector<Staged> staged(sources.size());
    // Whatever fails after the first change: the old version back entirely, and on the disk.
    const auto fail = [&] {
        const int notBack = journal.Rollback();
        FlushFolders(touched);
        if (notBack == 0) qWarning("Update rolled back: the installed files are the old version again");
        else qWarning("Update rolled back, but %d files could not be put back", notBack);
        return StepResult::Failed;
    };

    // 1. Every file written beside its target under its staging name, nothing flushed yet: the
    // installed version stays untouched and whole meanwhile.
    for (int i = 0; i < sources.size(); ++i) {
        const QString& source = sources.at(i);
        if (hooks.beforeCopy) hooks.beforeCopy(source);
        // The download directory as spelled is cut from the front of the canonical path, leaving
        // the path below it ("/bin/x.dll"). A file whose canonical path is not spelled below it
        // (a link, other letter case) has no place in the install root and fails the step.
        const QString relative = release::FileKey(source, workDir);
        const QString target = installRoot + relative;
        const QString link = relative.isEmpty() ? QString() : LinkOnTheWay(installRoot, relative, realFolders);
        if (!link.isEmpty()) {
            qWarning("Update failed: %s is a link; installing %s would write through it",
                     qUtf8Printable(link), qUtf8Printable(target));
        }
        const bool copied =
            !relative.isEmpty() && link.isEmpty() && StageFile(source, target, journal, touched, &staged[i]);
        if (hooks.afterCopy) hooks.afterCopy(copied, source, target);
        if (!copied) return fail();
    }

    // 2. One flush for the whole batch, before any name changes: a crash up to here leaves the
    // old version in place, and from here on every new file's bytes are on the disk.
    std::vector<std::string> written;
    written.reserve(staged.size());
    for (const Staged& file : staged) written.push_back(file.staging.toStdString());
    if (!platform::FlushFiles(written)) {
        qWarning("Update failed: the files written could not be flushed to the disk");
        return fail();
    }
    if (hooks.beforePlacing) hooks.beforePlacing();

    // 3. The renames, journaled, then the folders they changed.
    for (const Staged& file : staged) {
        if (!PlaceFile(file, journal)) {
            qWarning("Update failed: %s could not be put in place", qUtf8Printable(file.target));
            return fail();
        }
    }
    if (!FlushFolders(touched)) {
        qWarning("Update failed: the install root's folders could not be flushed to the disk");
        return fail();
    }
    journal.Commit();
    return StepResult::Done;
}

}  // namespace install
