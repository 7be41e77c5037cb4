// The install's journal and the undo it drives. Every step of the undo is decided by what the
// file system shows, never by a record of how far the install got: renames never replace a name,
// so each file's place in its three renames (earlier ".bak" aside, installed file to ".bak", new
// file in) can be read off which of its names exist.
#include "install_journal.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>
#include <string>

#include "durable_file.h"
#include "file_removal.h"
#include "path_link.h"
#include "release_files.h"

namespace install {

namespace {

// Whether anything, a dangling link included, has this name.
bool Present(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool Move(const QString& from, const QString& to) {
    if (platform::MoveNew(from.toStdString(), to.toStdString())) return true;
    qWarning("Undo: %s could not be renamed to %s", qUtf8Printable(from), qUtf8Printable(to));
    return false;
}

// A path below the install root as the journal spells it: "/" and segments, none empty, "." or
// "..", and no separator or drive of another platform. Anything else was not written by an
// install and is not acted on.
bool IsPlainKey(const QString& key) {
    if (!key.startsWith(QLatin1Char('/')) || key.contains(QLatin1Char('\\')) || key.contains(QLatin1Char(':')) ||
        key.contains(QChar(0))) {
        return false;
    }
    for (const QString& segment : key.mid(1).split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")) return false;
    }
    return true;
}

}  // namespace

QString FolderOf(const QString& path) {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString StagingName(const QString& target) {
    const int slash = target.lastIndexOf(QLatin1Char('/'));
    return target.left(slash + 1) + QLatin1Char('.') + target.mid(slash + 1) + QStringLiteral(".installing");
}

QByteArray JournalBytes(const InstallPlan& plan, const QString& installRoot) {
    QJsonArray files;
    for (const PlannedFile& file : plan.files) {
        QJsonObject entry;
        entry.insert(QStringLiteral("target"), release::FileKey(file.target, installRoot));
        entry.insert(QStringLiteral("replaces"), file.replaces);
        entry.insert(QStringLiteral("aside"), file.aside.isEmpty() ? QString() : release::FileKey(file.aside, installRoot));
        files.append(entry);
    }
    QJsonArray folders;
    for (const QString& folder : plan.folders) {
        const QString key = release::FileKey(folder, installRoot);
        if (!key.isEmpty()) folders.append(key);  // the install root itself stays
    }
    QJsonObject journal;
    journal.insert(QStringLiteral("files"), files);
    journal.insert(QStringLiteral("folders"), folders);
    return QJsonDocument(journal).toJson(QJsonDocument::Compact);
}

std::optional<InstallPlan> ParseJournal(const QByteArray& bytes, const QString& installRoot) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
    const QJsonObject journal = document.object();
    InstallPlan plan;
    for (const QJsonValue& value : journal.value(QStringLiteral("files")).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString target = entry.value(QStringLiteral("target")).toString();
        const QString aside = entry.value(QStringLiteral("aside")).toString();
        if (!IsPlainKey(target) || (!aside.isEmpty() && !IsPlainKey(aside))) return std::nullopt;
        PlannedFile file;
        file.target = installRoot + target;
        file.staging = StagingName(file.target);
        file.replaces = entry.value(QStringLiteral("replaces")).toBool();
        if (!aside.isEmpty()) file.aside = installRoot + aside;
        plan.files.push_back(file);
    }
    for (const QJsonValue& value : journal.value(QStringLiteral("folders")).toArray()) {
        if (!IsPlainKey(value.toString())) return std::nullopt;
        plan.folders.append(installRoot + value.toString());
    }
    return plan;
}

int UndoRenames(const InstallPlan& plan) {
    int notBack = 0;
    for (auto it = plan.files.rbegin(); it != plan.files.rend(); ++it) {
        const PlannedFile& file = *it;
        const QString backup = file.target + release::kBackupSuffix;
        // The staging name existed when the plan was written and only the last rename takes it:
        // without it, what is at target is the new file.
        if (!Present(file.staging) && Present(file.target)) Move(file.target, file.staging);
        if (file.replaces) {
            // The installed file is at ".bak" once that name is taken while the earlier backup, if
            // there was one, is aside (before, the ".bak" there is that earlier backup).
            const bool backedUp = Present(backup) && (file.aside.isEmpty() || Present(file.aside));
            if (backedUp && !Present(file.target)) Move(backup, file.target);
            if (!Present(file.target)) {
                ++notBack;
                qWarning("Undo: %s could not be put back", qUtf8Printable(file.target));
            }
        }
        if (!file.aside.isEmpty() && Present(file.aside) && !Present(backup)) Move(file.aside, backup);
    }
    return notBack;
}

void DiscardStaged(const InstallPlan& plan) {
    for (const PlannedFile& file : plan.files) platform::RemoveFile(file.staging);
    for (auto it = plan.folders.crbegin(); it != plan.folders.crend(); ++it) {
        QDir().rmdir(*it);  // only when empty: never takes anything it did not create
    }
}

void DropAsides(const InstallPlan& plan) {
    for (const PlannedFile& file : plan.files) {
        if (!file.aside.isEmpty()) platform::RemoveFile(file.aside);
    }
}

QSet<QString> PlanFolders(const InstallPlan& plan) {
    QSet<QString> folders;
    for (const PlannedFile& file : plan.files) folders.insert(FolderOf(file.target));
    for (const QString& folder : plan.folders) folders.insert(FolderOf(folder));
    return folders;
}

bool FlushFolders(const QSet<QString>& folders) {
    std::vector<std::string> paths;
    paths.reserve(folders.size());
    for (const QString& folder : folders) paths.push_back(folder.toStdString());
    return platform::FlushFolders(paths);
}

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

Recovery RecoverInterruptedInstall(const QString& installRoot) {
    const QString path = installRoot + QLatin1Char('/') + kJournalName;
    std::unique_ptr<platform::HeldFile> held;
    std::string bytes;
    switch (platform::HeldFile::Open(path.toStdString(), &held, &bytes)) {
    case platform::HeldFile::Found::Missing:
        return Recovery::NothingFound;
    case platform::HeldFile::Found::Busy:
        qWarning("%s is held by an install still running: left alone", qUtf8Printable(path));
        return Recovery::LeftAlone;
    case platform::HeldFile::Found::Failed:
        qWarning("%s could not be read: an interrupted install may have left files mixed", qUtf8Printable(path));
        return Recovery::Failed;
    case platform::HeldFile::Found::Held:
        break;
    }
    const std::optional<InstallPlan> plan = ParseJournal(QByteArray::fromStdString(bytes), installRoot);
    if (!plan) {
        // Renames start only once the journal is whole on the disk: one cut short had none under
        // it, and one naming paths no install writes is not ours.
        qWarning("%s is cut short (its install renamed nothing) or not an install's: removed without acting on it",
                 qUtf8Printable(path));
        held->Remove();
        return Recovery::Undone;
    }
    QSet<QString> realFolders;
    for (const PlannedFile& file : plan->files) {
        const QString key = release::FileKey(file.target, installRoot);
        if (!LinkOnTheWay(installRoot, key, realFolders).isEmpty() ||
            (!file.aside.isEmpty() && !LinkOnTheWay(installRoot, release::FileKey(file.aside, installRoot), realFolders).isEmpty())) {
            // No install writes through a link: this journal is not one of ours.
            qWarning("%s names %s, which lies behind a link: removed without acting on it", qUtf8Printable(path),
                     qUtf8Printable(file.target));
            held->Remove();
            return Recovery::Failed;
        }
    }
    const int notBack = UndoRenames(*plan);
    QSet<QString> folders = PlanFolders(*plan);
    folders.insert(installRoot);
    if (!FlushFolders(folders)) {
        // Kept: the next start undoes again, which finds the renames done and flushes.
        qWarning("An interrupted install was undone, but not flushed to the disk; %s kept", qUtf8Printable(path));
        return Recovery::Failed;
    }
    held->Remove();
    FlushFolders({installRoot});
    DiscardStaged(*plan);
    if (notBack > 0) {
        qWarning("An install interrupted among its renames was undone, but %d replaced files could not be put back",
                 notBack);
        return Recovery::Failed;
    }
    qWarning("An install interrupted among its renames was undone: its %d files are the old version again",
             int(plan->files.size()));
    return Recovery::Undone;
}

}  // namespace install
