// The install's journal: what one install is about to rename in the install root, written there
// before the first rename and removed once the last is on the disk. A process that dies among the
// renames (killed, power lost) leaves it behind, and the next updater or helper to start undoes
// that install from it before anything else, so the assistant never starts on two versions mixed.
//
// Undo, not finish: the old files are the ones known to have run, and the download that brought
// the new ones is still there for the next run to install again with all its checks; finishing
// would install files nothing has looked at since before the crash.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace install {

// The journal's name in the install root: hidden by its leading dot (on Windows by its attribute
// too), a name no manifest entry can have.
inline const QString kJournalName = QStringLiteral(".update-journal");

// The staging name of a target: its own name behind a dot and with a suffix of its own. A leading
// dot makes a name no manifest entry can have (IsManagedKey), and on POSIX one the managed-file
// walk skips as hidden, so it is never taken for an installed file. The name is the same on
// every run: a run killed before its renames leaves these files behind, and the next run
// installing the same file (the one still differing) writes over them and renames them away.
QString StagingName(const QString& target);

// One file of an install, written under its staging name beside target and about to take target's
// place. When replaces, the installed file becomes target + ".bak" first, and an earlier ".bak"
// waits at aside (empty: there was none) until the install has succeeded.
struct PlannedFile {
    QString target;
    QString staging;
    bool replaces = false;
    QString aside;
};

// Every file of an install in the order of its renames, and the folders it created, in order.
struct InstallPlan {
    std::vector<PlannedFile> files;
    QStringList folders;
};

// The journal's bytes: JSON {"files": [{"target", "replaces", "aside"}], "folders": [...]}, every
// path relative to installRoot ("/bin/app.dll"); the staging and backup names follow from target.
QByteArray JournalBytes(const InstallPlan& plan, const QString& installRoot);
// The plan a journal holds; nothing when it is incomplete (cut short by the crash that left it:
// it was then never flushed, and no rename had started) or names a path that does not lie plainly
// below installRoot.
std::optional<InstallPlan> ParseJournal(const QByteArray& bytes, const QString& installRoot);

// Puts back what the plan's renames changed, from wherever they stopped: each new file back at
// its staging name, each installed file back from its ".bak", each earlier ".bak" back from aside.
// Every rename never replaces and is read off the file system, so an undo cut short is finished
// by the next one. Returns how many replaced files are not back.
int UndoRenames(const InstallPlan& plan);
// Removes the plan's staging files and the folders it created (only when empty).
void DiscardStaged(const InstallPlan& plan);
// Removes the earlier backups kept aside, once the install has succeeded.
void DropAsides(const InstallPlan& plan);
// The folders whose entries the plan's renames change.
QSet<QString> PlanFolders(const InstallPlan& plan);
// The folder holding path; "." for a bare name.
QString FolderOf(const QString& path);
// Puts the entries of folders on stable storage (platform::FlushFolders).
bool FlushFolders(const QSet<QString>& folders);

// The first entry of the path below installRoot (each folder on the way, then the file) that is a
// link, or empty. Folders found real once (realFolders) are not looked at again.
QString LinkOnTheWay(const QString& installRoot, const QString& relative, QSet<QString>& realFolders);

enum class Recovery {
    NothingFound,  // no journal: the last install ended
    Undone,        // an interrupted install was undone (or its journal had no rename under it)
    LeftAlone,     // another running install holds the journal
    Failed,        // the journal could not be read, or files could not be put back
};

// What the updater and the helper do first: undoes an install that a journal in installRoot
// shows was interrupted, and logs what it did.
Recovery RecoverInterruptedInstall(const QString& installRoot);

// Crash drills only: when this environment variable holds N > 0, an install ends its process at
// once, as a kill would, after its Nth rename.
inline constexpr char kStopAfterRenameVariable[] = "UPDATER_STOP_AFTER_RENAME";

}  // namespace install
