// Staging beside the output rather than in the system's temporary folder: a rename is only
// atomic within one file system. The staging folder's name starts with a dot so that it is never
// mistaken for a finished release; QTemporaryDir removes it when the run ends early.
#include "staged_output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// QTemporaryDir makes the staging folder 0700, which keeps a half-built release to ourselves,
// and a rename keeps the mode. The finished release must have the mode of any new folder, or a
// web server running as its own user cannot enter it. What is inside was created the ordinary
// way and already follows the umask.
bool GiveOrdinaryMode(const QString& folder) {
#ifdef Q_OS_UNIX
    const mode_t mask = umask(0);  // the only way to read it; the tool runs no other threads
    umask(mask);
    return chmod(QFile::encodeName(folder).constData(), 0777 & ~mask) == 0;
#else
    Q_UNUSED(folder);
    return true;
#endif
}

}  // namespace

StagedOutput::StagedOutput(const QString& output, bool replace)
    : output_(QDir::cleanPath(QDir(output).absolutePath())), replace_(replace) {}

StagedOutput::~StagedOutput() {
    if (committed_) return;
    staging_.reset();
    for (int i = createdParents_.size() - 1; i >= 0; --i) QDir().rmdir(createdParents_.at(i));
}

bool StagedOutput::Begin(QString* error) {
    const QFileInfo info(output_);
    if (info.exists() && !info.isDir()) {
        *error = QStringLiteral("the output %1 exists and is not a folder").arg(output_);
        return false;
    }
    if (info.isDir() && !replace_ && !QDir(output_).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        *error = QStringLiteral("the output folder %1 is not empty (pass --replace to replace it)").arg(output_);
        return false;
    }

    const QString parent = info.absolutePath();
    QStringList missing;
    for (QString folder = parent; !QFileInfo::exists(folder); folder = QFileInfo(folder).absolutePath()) {
        missing.prepend(folder);
        if (QFileInfo(folder).absolutePath() == folder) break;  // reached the root
    }
    for (const QString& folder : missing) {
        if (!QDir().mkdir(folder)) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
            return false;
        }
        createdParents_.append(folder);
    }

    staging_ = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/.") + info.fileName() +
                                               QStringLiteral(".partial-XXXXXX"));
    if (!staging_->isValid()) {
        *error = QStringLiteral("cannot write in %1: %2").arg(parent, staging_->errorString());
        return false;
    }
    return true;
}

QString StagedOutput::Path() const { return staging_ ? staging_->path() : QString(); }

bool StagedOutput::Commit(QString* error, QString* warning) {
    if (!GiveOrdinaryMode(staging_->path())) {
        *error = QStringLiteral("cannot set the permissions of %1").arg(staging_->path());
        return false;
    }
    QString setAside;
    if (QFileInfo(output_).isDir()) {
        if (QDir(output_).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
            QDir().rmdir(output_);
        } else {
            // A unique free name for the old release: the staging name with another suffix.
            setAside = staging_->path() + QStringLiteral(".old");
            if (!QDir().rename(output_, setAside)) {
                *error = QStringLiteral("cannot move the old output %1 aside").arg(output_);
                return false;
            }
        }
    }
    if (!QDir().rename(staging_->path(), output_)) {
        *error = QStringLiteral("cannot move the new release into %1 (from %2)").arg(output_, staging_->path());
        if (!setAside.isEmpty()) QDir().rename(setAside, output_);
        return false;
    }
    staging_->setAutoRemove(false);
    committed_ = true;
    if (!setAside.isEmpty() && !QDir(setAside).removeRecursively()) {
        *warning = QStringLiteral("the old release could not be removed completely from %1").arg(setAside);
    }
    return true;
}
