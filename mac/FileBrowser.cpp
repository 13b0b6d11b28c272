// SPDX-License-Identifier: GPL-3.0-or-later
// The file browser's rows.

#include "mac/FileBrowser.h"

#include "imaging/LocalNames.h"
#include "imaging/PictureLoader.h"

#include <QApplication>
#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidget>

#include <algorithm>
#include <functional>

#include <sys/stat.h>

namespace kestova::mac {

namespace {
// Names in the first volume's root that the browser does not show: system
// folders, and the kernel's pseudo file systems.
const QStringList kHiddenOnFirstVolume = {"tmp", "etc", "var", "Network", "proc", "sys", "dev", "run"};
} // namespace

FileBrowser::FileBrowser(QObject* parent) : QObject(parent) {}

void FileBrowser::GetSystemDisk()
{
    if (MyDocumentIcon.isNull())
        MyDocumentIcon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    FileItemArray.clear();
    int id = 2;
    firstVolumeRow = 0;
    for (const QStorageInfo& vol : QStorageInfo::mountedVolumes()) {
        if (!vol.isValid() || !vol.isReady())
            continue;
        auto row = std::make_unique<tagFILEITEM>();
        row->rowID = id++;
        row->path = vol.rootPath();
        row->name = vol.name().isEmpty() ? vol.displayName() : vol.name();
        row->isFolder = true;
        if (firstVolumeRow == 0)
            firstVolumeRow = row->rowID;
        FileItemArray.push_back(std::move(row));
    }
    const QStringList folders = {QDir::homePath(),
                                 QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)};
    for (const QString& path : folders) {
        if (path.isEmpty() || !QFileInfo(path).isDir())
            continue;
        auto row = std::make_unique<tagFILEITEM>();
        row->rowID = id++;
        row->path = path;
        row->name = QFileInfo(path).fileName();
        row->isFolder = true;
        FileItemArray.push_back(std::move(row));
    }
}

void FileBrowser::Attach(QTreeWidget* widget)
{
    tree = widget;
    if (!tree)
        return;
    connect(tree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* it) {
        if (tagFILEITEM* row = RowOfItem(it); row && it->childCount() == 0)
            ExpendFolder(row, FileItemArray.empty() ? 1 : FileItemArray.back()->rowID);
    });
    connect(tree, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* it) {
        if (tagFILEITEM* row = RowOfItem(it))
            CloseFolder(row);
    });
    // A double click or Return on a row opens it (activation is both).
    connect(tree, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* it) {
        if (tagFILEITEM* row = RowOfItem(it); row && !row->isFolder)
            emit rowOpened(row);
    });
    // Opening the root lists the volumes and the user's folders.
    for (auto& row : FileItemArray) {
        auto* it = new QTreeWidgetItem(tree, QStringList(row->name));
        it->setData(0, Qt::UserRole, row->rowID);
        it->setIcon(0, QFileIconProvider().icon(QFileIconProvider::Folder));
        it->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        row->item = it;
    }
}

tagFILEITEM* FileBrowser::FindRow(int rowID) const
{
    for (const auto& r : FileItemArray)
        if (r->rowID == rowID)
            return r.get();
    return nullptr;
}

tagFILEITEM* FileBrowser::RowOfItem(QTreeWidgetItem* item) const
{
    if (!item)
        return nullptr;
    return FindRow(item->data(0, Qt::UserRole).toInt());
}

void FileBrowser::ExpendFolder(tagFILEITEM* item, int lastRowID)
{
    if (!item || !item->isFolder)
        return;
    // Read by bytes: a name that is not valid UTF-8 is listed too (Qt's own
    // listing leaves it out), shown with its odd bytes escaped, and keeps
    // its bytes for opening the file.
    QStringList names;
    if (!ListFolderNames(item->path, names))
        return;
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    const bool firstVolume = item->rowID == firstVolumeRow;
    const QString folder = item->path.endsWith(QLatin1Char('/')) ? item->path : item->path + QLatin1Char('/');
    QFileIconProvider icons;
    std::vector<tagFILEITEM*> added;
    for (const QString& name : names) {
        // Dot-names are the invisible entries here.
        if (name.startsWith(QLatin1Char('.')))
            continue;
        if (firstVolume && kHiddenOnFirstVolume.contains(name))
            continue;
        struct stat st {};
        const bool known = ::stat(BytesOfName(folder + name).constData(), &st) == 0;
        auto row = std::make_unique<tagFILEITEM>();
        row->rowID = ++lastRowID;
        row->path = folder + name;
        row->name = ShownName(name);
        row->isFolder = known && S_ISDIR(st.st_mode) && !name.endsWith(QLatin1String(".app"));
        row->firstChild = added.empty();
        added.push_back(row.get());
        FileItemArray.push_back(std::move(row));
    }
    if (!item->item)
        return;
    for (tagFILEITEM* row : added) {
        auto* it = new QTreeWidgetItem(item->item, QStringList(row->name));
        it->setData(0, Qt::UserRole, row->rowID);
        // Qt cannot look at a name it cannot spell; such a row gets the
        // generic icon of its kind.
        QIcon icon = HasKeptBytes(row->path) ? (row->isFolder ? icons.icon(QFileIconProvider::Folder) : QIcon())
                                             : icons.icon(QFileInfo(row->path));
        it->setIcon(0, icon.isNull() ? MyDocumentIcon : icon);
        if (row->isFolder)
            it->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        row->item = it;
    }
}

void FileBrowser::CloseFolder(tagFILEITEM* item)
{
    if (!item || !item->item)
        return;
    // Collect the rows below the closed one, then remove them from the
    // browser and free them.
    std::vector<int> gone;
    std::function<void(QTreeWidgetItem*)> collect = [&](QTreeWidgetItem* it) {
        for (int i = 0; i < it->childCount(); ++i) {
            gone.push_back(it->child(i)->data(0, Qt::UserRole).toInt());
            collect(it->child(i));
        }
    };
    collect(item->item);
    for (QTreeWidgetItem* child : item->item->takeChildren())
        delete child;
    if (std::find(gone.begin(), gone.end(), gmyCurrentFileRow) != gone.end())
        gmyCurrentFileRow = 0;
    std::erase_if(FileItemArray, [&](const std::unique_ptr<tagFILEITEM>& r) {
        return std::find(gone.begin(), gone.end(), r->rowID) != gone.end();
    });
}

std::vector<std::pair<int, QString>> FileBrowser::CollectChosen()
{
    // Walked from the last row back to the first row of the folder opened
    // most recently.
    SelPicArrayRef.clear();
    chosenNotPictures_.clear();
    for (auto it = FileItemArray.rbegin(); it != FileItemArray.rend(); ++it) {
        const tagFILEITEM& row = **it;
        if (!row.isFolder && row.item && row.item->isSelected()) {
            if (row.isPicture)
                SelPicArrayRef.push_back(row.rowID);
            else
                chosenNotPictures_.insert(chosenNotPictures_.begin(), {row.rowID, row.notPictureWhy});
        }
        if (row.firstChild)
            break;
    }
    std::vector<std::pair<int, QString>> files;
    for (auto it = SelPicArrayRef.rbegin(); it != SelPicArrayRef.rend(); ++it)
        if (tagFILEITEM* row = FindRow(*it))
            files.emplace_back(row->rowID, row->path);
    return files;
}

QString FileBrowser::AdvanceToNextPicture()
{
    if (gmyCurrentFileRow == 0)
        return {};
    bool after = false;
    for (const auto& row : FileItemArray) {
        if (!after) {
            after = row->rowID == gmyCurrentFileRow;
            continue;
        }
        if (row->isFolder || !RecognisedPictureFile(row->path))
            continue;
        gmyCurrentFileRow = row->rowID;
        if (tree && row->item) {
            tree->clearSelection();
            row->item->setSelected(true);
            tree->setCurrentItem(row->item);
            tree->scrollToItem(row->item);
        }
        return row->path;
    }
    return {};
}

void FileBrowser::MarkNotPicture(int rowID, const QString& why)
{
    if (tagFILEITEM* row = FindRow(rowID)) {
        row->isPicture = 0;
        row->notPictureWhy = why;
    }
}

void FileBrowser::DropRowsFrom(std::size_t count)
{
    if (count < FileItemArray.size())
        FileItemArray.resize(count);
}

void FileBrowser::Clear()
{
    if (tree)
        tree->clear();
    FileItemArray.clear();
    SelPicArrayRef.clear();
    gmyCurrentFileRow = 0;
    MyDocumentIcon = QIcon();
}

} // namespace kestova::mac
