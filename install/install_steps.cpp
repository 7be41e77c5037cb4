// Install steps shared by the updater and the helper: unpack the downloaded archives in place on
// every core, then install the unpacked tree over the install root with ".bak" backups and a full
// rollback: every file written beside its target first, one flush, then the renames.
#include "install_steps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "durable_file.h"
#include "file_removal.h"
#include "free_space.h"
#include "install_journal.h"
#include "manifest.h"
#include "path_link.h"
#include "pool_each.h"
#include "release_files.h"
#include "zip_archive.h"

namespace install {

namespace {

// The crash drill's end of the process among the renames: SIGKILL where there is one, else an
// exit that runs nothing on the way out, which leaves the files as a kill would.
[[noreturn]] void StopAsKilled() {
#ifdef SIGKILL
    std::raise(SIGKILL);
#endif
    std::_Exit(86);
}

// A free name next to the backup for keeping the previous backup until the run has succeeded.
QString AsideName(const QString& backup) {
    QString name = backup + QStringLiteral(".prev");
    for (int n = 1; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n) {
        name = backup + QStringLiteral(".prev") + QString::number(n);
    }
    return name;
}

// Creates the missing folders of dir one level at a time, so the plan knows exactly which ones
// this run made; the folders that gained one join touched. False when one cannot be created (the
// file then fails).
bool MakeFolders(const QString& dir, InstallPlan& plan, QSet<QString>& touched) {
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
        plan.folders.append(d);
        touched.insert(FolderOf(d));
    }
    return true;
}

// Writes one file under its staging name beside target, creating the folders on the way, and
// adds it to the plan. Fails when target's place is taken by anything but a file (a folder, say):
// the rename could not replace it later.
bool StageFile(const QString& source, const QString& target, InstallPlan& plan, QSet<QString>& touched) {
    const QFileInfo installed(target);
    if (installed.exists() && !installed.isFile()) return false;
    const QString folder = FolderOf(target);
    if (!MakeFolders(folder, plan, touched)) return false;
    touched.insert(folder);
    PlannedFile file;
    file.target = target;
    file.staging = StagingName(target);
    file.replaces = installed.isFile();
    // A backup left by an earlier update must give way, or the installed file could not become
    // the ".bak" and this file could never be updated again.
    const QFileInfo earlier(target + release::kBackupSuffix);
    if (file.replaces && (earlier.exists() || earlier.isSymLink())) file.aside = AsideName(earlier.filePath());
    // The replaced file's marks stay where the archive says nothing of them (an executable, say).
    const std::string replaced = file.replaces ? target.toStdString() : std::string();
    if (!platform::WriteCopy(source.toStdString(), file.staging.toStdString(), replaced)) return false;
    plan.files.push_back(file);
    return true;
}

// Puts one staged file in place: an earlier ".bak" aside, the installed file to its ".bak", the
// staged file to its name. No rename ever replaces a name: whatever else took one of them
// meanwhile fails the file, and the undo puts back what the renames before did. Each rename
// counts towards the crash drill's stop.
bool PlaceFile(const PlannedFile& file, const std::function<void()>& renamed) {
    const auto move = [&](const QString& from, const QString& to) {
        if (!platform::MoveNew(from.toStdString(), to.toStdString())) return false;
        renamed();
        return true;
    };
    // What took the installed file's place since it was staged (a folder, say) must not become the
    // ".bak" either.
    if (file.replaces && !QFileInfo(file.target).isFile()) return false;
    const QString backup = file.target + release::kBackupSuffix;
    if (!file.aside.isEmpty() && !move(backup, file.aside)) return false;
    if (file.replaces && !move(file.target, backup)) return false;
    return move(file.staging, file.target);
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

}  // namespace

StepResult ExtractArchives(const QString& workDir, const std::function<void(const QString&)>& beforeEach,
                           QMap<QString, QString>* failures) {
    QStringList archives;
    for (const QFileInfo& info : release::WalkFiles(workDir, release::kArchiveNameFilter)) {
        archives.append(info.canonicalFilePath());
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
    for (const QFileInfo& info : release::WalkFiles(workDir)) {
        const QString source = info.canonicalFilePath();
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
    InstallPlan plan;
    QSet<QString> realFolders;
    QSet<QString> touched;  // folders whose entries this run changes
    std::unique_ptr<platform::HeldFile> journal;
    // Whatever fails after the first change: the old version back entirely, and on the disk.
    const auto fail = [&] {
        const int notBack = UndoRenames(plan);
        FlushFolders(touched);
        if (journal) {
            journal->Remove();
            FlushFolders({installRoot});
        }
        DiscardStaged(plan);
        if (notBack == 0) qWarning("Update rolled back: the installed files are the old version again");
        else qWarning("Update rolled back, but %d files could not be put back", notBack);
        return StepResult::Failed;
    };

    // 1. Every file written beside its target under its staging name, nothing flushed yet: the
    // installed version stays untouched and whole meanwhile.
    for (const QString& source : sources) {
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
        const bool copied = !relative.isEmpty() && link.isEmpty() && StageFile(source, target, plan, touched);
        if (hooks.afterCopy) hooks.afterCopy(copied, source, target);
        if (!copied) return fail();
    }

    // 2. The journal of the renames to come, then one flush for the whole batch before any name
    // changes: a crash up to here leaves the old version in place, and from here on every new
    // file's bytes and the journal are on the disk.
    const QString journalPath = installRoot + QLatin1Char('/') + kJournalName;
    journal = platform::HeldFile::Create(journalPath.toStdString(), JournalBytes(plan, installRoot).toStdString());
    if (!journal) {
        qWarning("Update failed: %s could not be written", qUtf8Printable(journalPath));
        return fail();
    }
    std::vector<std::string> written;
    written.reserve(plan.files.size() + 1);
    for (const PlannedFile& file : plan.files) written.push_back(file.staging.toStdString());
    written.push_back(journalPath.toStdString());
    if (!platform::FlushFiles(written)) {
        qWarning("Update failed: the files written could not be flushed to the disk");
        return fail();
    }
    if (hooks.beforePlacing) hooks.beforePlacing();

    // 3. The renames, then the folders they changed. The journal goes only once they are on the
    // disk, and must be gone from it before the earlier backups are dropped: the undo of an
    // install interrupted after that point would need them.
    const int stopAfter = qEnvironmentVariableIntValue(kStopAfterRenameVariable);
    int renames = 0;
    const auto renamed = [&] {
        if (++renames == stopAfter) StopAsKilled();
    };
    for (const PlannedFile& file : plan.files) {
        if (!PlaceFile(file, renamed)) {
            qWarning("Update failed: %s could not be put in place", qUtf8Printable(file.target));
            return fail();
        }
    }
    if (!FlushFolders(touched)) {
        qWarning("Update failed: the install root's folders could not be flushed to the disk");
        return fail();
    }
    journal->Remove();
    if (FlushFolders({installRoot})) {
        DropAsides(plan);
    } else {
        qWarning("The install journal's removal could not be flushed; the previous backups stay beside the new ones");
    }
    return StepResult::Done;
}

}  // namespace install
