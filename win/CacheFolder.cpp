// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/CacheFolder.h"

#include "common/files/SafeFile.h"
#include "win/AppStart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kestova::win {

namespace {
std::string Path8(const QString& p)
{
    return QFile::encodeName(p).toStdString();
}
} // namespace

void ClearCacheDirectory(const QString& dir, const QString& pattern)
{
    const QDir d(dir);
    for (const QFileInfo& fi : d.entryInfoList(QStringList(pattern), QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(fi.absoluteFilePath());
}

void CacheFolder::Open(const QString& root)
{
    directory_.clear();
    staging_.clear();
    if (root.isEmpty() || !run_.Make(root, {QStringLiteral("PicsInMiniDPF")}))
        return;
    // Made fresh and empty; the folder is already only the user's.
    const QDir own(run_.Path());
    directory_ = own.filePath(QStringLiteral("PicsInMiniDPF"));
    staging_ = own.filePath(QStringLiteral("JPGTmp.jpg"));
}

QString CacheFolder::NextCacheFileName() const
{
    if (directory_.isEmpty())
        return QString();
    const QDir dir(directory_);
    for (int n = 0; n < 100000; ++n) {
        const QString p = dir.filePath(QString::asprintf("%04d.bmp", n));
        if (!QFileInfo::exists(p) && !QFileInfo(p).isSymLink())
            return p;
    }
    return QString();
}

QString CacheFolder::WriteCacheBitmap(const std::vector<uint8_t>& bmp) const
{
    // Created under a free name only; another writer may take a name between
    // the look and the write, so a few names are tried.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString p = NextCacheFileName();
        if (p.isEmpty())
            break;
        if (WriteFileSafely(Path8(p), bmp.data(), bmp.size(), SafeWriteMode::CreateNew).ok)
            return p;
    }
    return QString();
}

bool CacheFolder::WriteStaging(const std::vector<uint8_t>& bytes) const
{
    return staging_.isEmpty() || WriteFileSafely(Path8(staging_), bytes.data(), bytes.size(), SafeWriteMode::Replace).ok;
}

void CacheFolder::Clear() const
{
    if (!directory_.isEmpty())
        ClearCacheDirectory(directory_, QStringLiteral("*.bmp"));
}

} // namespace kestova::win
