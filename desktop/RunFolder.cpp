// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktop/RunFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>

namespace kestova::desktop {

namespace {
const QString kLockName = QStringLiteral("lock");

// A lock that only its holder's end releases: never taken over because of its
// age, only because the process that took it is gone.
std::unique_ptr<QLockFile> TryLock(const QString& folder)
{
    auto lock = std::make_unique<QLockFile>(folder + QLatin1Char('/') + kLockName);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}
} // namespace

RunFolder::RunFolder() = default;

RunFolder::~RunFolder()
{
    if (path_.isEmpty())
        return;
    // The work files go while the lock is still held; a copy starting in the
    // meantime may then only find the empty folder to clear.
    const QDir dir(path_);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == kLockName)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    lock_.reset();
    QDir(path_).removeRecursively();
}

int RunFolder::ClearLeftovers(const QString& base)
{
    int cleared = 0;
    const QDir dir(base);
    for (const QString& name : dir.entryList({QStringLiteral("run-*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString folder = dir.filePath(name);
        std::unique_ptr<QLockFile> lock = TryLock(folder);
        if (!lock)
            continue;  // a running copy holds it
        lock->unlock();
        if (QDir(folder).removeRecursively())
            ++cleared;
    }
    return cleared;
}

bool RunFolder::Make(const QString& base, const QStringList& subfolders)
{
    if (!QDir().mkpath(base))
        return false;
    ClearLeftovers(base);
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTemporaryDir made(base + QStringLiteral("/run-%1-XXXXXX").arg(QCoreApplication::applicationPid()));
        if (!made.isValid())
            return false;
        made.setAutoRemove(false);
        // Another copy clearing leftovers at the same moment may have taken
        // the new folder's lock first; then it is its to remove, and another
        // name is tried.
        std::unique_ptr<QLockFile> lock = TryLock(made.path());
        if (!lock)
            continue;
        for (const QString& sub : subfolders)
            if (!QDir().mkpath(made.path() + QLatin1Char('/') + sub))
                return false;
        path_ = made.path();
        lock_ = std::move(lock);
        return true;
    }
    return false;
}

} // namespace kestova::desktop
