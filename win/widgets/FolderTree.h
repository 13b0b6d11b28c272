// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The picture browser of the dialog program: the folder tree (control 1025)
// with its three roots (the computer with its mounted volumes, the desktop,
// the pictures folder) and the browser list beside it (control 1073), which
// names the picture files of the folder last listed in the tree.
//
// The tree is filled lazily: a folder node that has not been listed carries
// one placeholder child (empty text) so it shows an expand button; expanding
// it lists the folder one level deep. The listing itself (reading the
// directory, sorting, the picture-name test) runs on a worker thread of the
// tree, so a slow or huge folder never blocks the window; the result comes
// back to the window's thread as a queued call and only then touches nodes.
// A result whose node was collapsed or removed in the meantime is dropped.

#include <QIcon>
#include <QListWidget>
#include <QStringList>
#include <QTreeWidget>

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace kestova::win {

// What a folder listing yields. Both lists hold full paths and are ordered
// by their lower-cased text, plain character-code comparison; equal entries
// keep the order in which the directory gave them.
struct FolderListing {
    QStringList folders;   // sub-folders (hidden dot-folders left out)
    QStringList pictures;  // files the browser takes (IsBrowserPicture)
};

// `folderPath` ends with '/'. A folder that cannot be read gives two empty lists.
FolderListing ListFolder(const QString& folderPath);

// Phone photos: the lower-cased name ends with ".heic", ".heif" or ".avif".
bool IsPhonePicture(const QString& fileName);

// The browser takes a file when the last four characters of its lower-cased
// name are ".bmp", ".jpg", "jpeg" or ".gif" (so "photo.JPEG" is taken and
// "photo.png" is not), and phone photos.
bool IsBrowserPicture(const QString& fileName);

// A double click in the tree adds a node whose lower-cased last five
// characters contain ".bmp", ".jpg", ".jpeg", ".gif", ".png" or ".tif", or
// a phone photo.
bool IsAddablePicture(const QString& nodeText);

// Orders a path list the way the tree's listing does (stable, lower-cased).
void SortPathList(QStringList& paths);

class FolderListWorker;

class CFolderTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CFolderTree(QWidget* parent = nullptr);
    ~CFolderTree() override;

    // Builds the three roots: computer, desktop, pictures (in that order),
    // each with a placeholder child. Drops every node and pending listing.
    void Fill();

    // The folder whose pictures the browser list shows, ending with '/';
    // empty before the first folder was listed.
    QString CurrentFolderPath() const { return currentFolder_; }

    void Disable() { setEnabled(false); }
    void Enable() { setEnabled(true); }

    // Texts of the three roots ("MY_COMPUTER", "DESK_TOP", "MY_PICTURE").
    void SetRootTexts(const QString& computer, const QString& desktop, const QString& pictures);

    QTreeWidgetItem* ComputerNode() const { return computer_; }
    QTreeWidgetItem* DesktopNode() const { return desktop_; }
    QTreeWidgetItem* PicturesNode() const { return pictures_; }

    // The node's path: empty for the computer node, a folder path ending in
    // '/' for volumes and folders, the file's path for a file leaf.
    static QString NodePath(const QTreeWidgetItem* node);
    static bool IsPlaceholder(const QTreeWidgetItem* node);

    // True while a listing asked for is not yet applied.
    bool ListingPending() const { return !pending_.empty(); }

signals:
    // A double click on a node whose name is a picture: the main window adds
    // that picture with its automatic advance switched off.
    void addPictureRequested(const QString& path);
    // A listing has been applied to its node (folder path ending in '/', or
    // empty for the computer node's volumes).
    void folderListed(const QString& folderPath);

protected:
    // The three overridable operations, in their order.
    // Selection moved to `node` (by the user, mouse or keyboard). Base: nothing.
    virtual void OnSelectionChange(QTreeWidgetItem* node);
    // Removes the node's children with their subtrees and, when asked, adds
    // one placeholder child. Drops listings pending for the removed nodes.
    virtual void ClearNode(QTreeWidgetItem* node, bool addPlaceholder);
    // The picture files of the folder `node` just listed. Base: one leaf per file.
    virtual void OnFilesFound(QTreeWidgetItem* node, const QStringList& paths);

    // The expansion handler: runs for every expand and collapse, and for the
    // user's selection changes where a subclass asks for it.
    void HandleExpansion(QTreeWidgetItem* node);
    // A node the user selected: a collapsed folder or volume is listed
    // without expanding it (its pictures go to OnFilesFound, its sub-folders
    // under it); anything else runs the expansion handler.
    void ListSelected(QTreeWidgetItem* node);

    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    enum class Kind { Computer, Volume, Folder, File };
    QTreeWidgetItem* InsertNode(QTreeWidgetItem* parent, Kind kind, const QString& path,
                                const QString& text, const QIcon& icon, bool placeholder);
    void AddPlaceholder(QTreeWidgetItem* node);
    // Lists the folder of `node` one level deep, in place of its children.
    void ListNode(QTreeWidgetItem* node);
    void ForgetPending(QTreeWidgetItem* subtree);
    void Request(QTreeWidgetItem* node, const QString& folderPath);
    void ApplyListing(uint64_t token, const QString& folderPath, const FolderListing& listing);
    void ApplyVolumes(uint64_t token, const QList<QPair<QString, QString>>& volumes);

    QTreeWidgetItem* computer_ = nullptr;
    QTreeWidgetItem* desktop_ = nullptr;
    QTreeWidgetItem* pictures_ = nullptr;
    QString currentFolder_;
    // Listings asked for and not yet applied: node -> token. A removed node
    // leaves this map at once, so a late result can never reach it.
    std::unordered_map<QTreeWidgetItem*, uint64_t> pending_;
    uint64_t nextToken_ = 1;
    uint64_t lastFolderToken_ = 0;  // only the newest folder listing feeds the browser
    bool userAction_ = false;
    std::unique_ptr<FolderListWorker> worker_;
};

// The main window's tree: a user's selection lists the folder chosen
// (expanded or not) so its pictures show at once, clearing a node first
// empties the browser list, and a listed folder's picture files go to the
// main window.
class CPictureFolderTree : public CFolderTree {
    Q_OBJECT
public:
    using CFolderTree::CFolderTree;

signals:
    void clearBrowserList();                   // empty the browser list (user message 1)
    void filesFound(const QStringList& paths);  // fill it from these paths (user message 2)

protected:
    void OnSelectionChange(QTreeWidgetItem* node) override;
    void ClearNode(QTreeWidgetItem* node, bool addPlaceholder) override;
    void OnFilesFound(QTreeWidgetItem* node, const QStringList& paths) override;
};

// The browser list (control 1073): one item per picture file, the text being
// the file name without its folder, all with one icon; items stacked 17
// pixels apart; several items may be selected. The items are added in one
// model insertion and every row has the same height, so even a folder of
// many thousand pictures is listed and drawn at once.
class CBrowserList : public QListWidget {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 17;

    explicit CBrowserList(QWidget* parent = nullptr);

    void Clear();                              // user message 1
    void AddPaths(const QStringList& paths);   // user message 2: appends, in order
    void SetItemIcon(const QIcon& icon);       // the picture icon (resource 194)
    // The file's name in its folder (the item's text, or for a name that is
    // not valid UTF-8 the name with its bytes kept, see LocalNames.h).
    static QString FileName(const QListWidgetItem* item);
    static constexpr int kFileNameRole = Qt::UserRole;
    QIcon ItemIcon() const { return icon_; }

private:
    QIcon icon_;
};

} // namespace kestova::win
