// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The folder of one running copy of a desktop program: a folder of its own
// under a common base ("run-PID-XXXXXX"), locked for as long as the copy
// runs and removed when it ends, so two copies (two windows on two frames)
// never share their work files. Folders of copies that ended without
// removing theirs (killed, crashed) are cleared at the next start; a folder
// whose lock is held belongs to a running copy and is left alone.
// mackestova keeps its work folders in one, kestova its cache folder.

#include <QString>
#include <QStringList>

#include <memory>

class QLockFile;

namespace kestova::desktop {

class RunFolder {
public:
    RunFolder();
    ~RunFolder();  // removes the folder (if one was made)
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Clears leftovers under `base`, then makes and locks a folder of this
    // copy's own with `subfolders` in it. False when none could be made.
    bool Make(const QString& base, const QStringList& subfolders = {});
    // The folder (empty until made).
    QString Path() const { return path_; }
    // Removes the folders under `base` that no running copy holds; returns how
    // many went.
    static int ClearLeftovers(const QString& base);

private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace kestova::desktop
