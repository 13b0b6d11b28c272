// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The work folder of one running copy of mackestova: a folder of its own
// under a common base, holding the sub-folders "data" and "Edata", locked for
// as long as the copy runs and removed when it ends. Folders of copies that
// ended without removing theirs (killed, crashed) are cleared at the next
// start; a folder whose lock is held belongs to a running copy and is left
// alone.

#include <QString>

#include <memory>

class QLockFile;

namespace kestova::mac {

class WorkFolder {
public:
    WorkFolder();
    ~WorkFolder();  // removes the folder (if one was made)
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    // Clears leftovers under `base`, then makes and locks a folder of this
    // copy's own with "data" and "Edata" in it. False when none could be made.
    bool Make(const QString& base);
    // The folder (empty until made).
    QString Path() const { return path_; }
    // Removes the folders under `base` that no running copy holds; returns how
    // many went.
    static int ClearLeftovers(const QString& base);

private:
    QString path_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace kestova::mac
