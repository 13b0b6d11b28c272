// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The rows of the file browser ('CLVW' 0): the volumes and the user's
// folders at the top, the folders opened below them, which rows are chosen
// for a batch and which is current. It owns the rows and keeps the tree
// widget in step with them; what opening a picture does is the receiver's
// business (rowOpened).

#include <QIcon>
#include <QObject>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace kestova::mac {

// One row of the file browser.
struct tagFILEITEM {
    int rowID = 0;           // rows count from 2; the browser's root is 1
    QString path;            // the file itself
    QString name;            // display name
    bool isFolder = false;   // shown as a container
    bool firstChild = false; // first row of the folder opened most recently
    int isPicture = 1;       // cleared when the file could not be loaded
    QString notPictureWhy;   // then: why, in the reader's words
    QTreeWidgetItem* item = nullptr;
};

class FileBrowser : public QObject {
    Q_OBJECT
public:
    explicit FileBrowser(QObject* parent = nullptr);

    // Builds the top rows: every mounted volume, then the home and Pictures
    // folders.
    void GetSystemDisk();
    // Shows the rows under the browser's root and follows the tree's opening,
    // closing and activation from now on.
    void Attach(QTreeWidget* tree);
    // Lists the folder of `item` under it, numbering from lastRowID + 1.
    void ExpendFolder(tagFILEITEM* item, int lastRowID);
    void CloseFolder(tagFILEITEM* item);
    tagFILEITEM* FindRow(int rowID) const;
    tagFILEITEM* RowOfItem(QTreeWidgetItem* item) const;

    // The rows chosen for an add in the most recently opened folder (files
    // still taken for pictures, selected in the tree), remembered in
    // SelPicArrayRef; returned as (row, path) in browser order.
    std::vector<std::pair<int, QString>> CollectChosen();
    // The rows the last CollectChosen passed over as no longer taken for
    // pictures, in browser order: (row, why).
    const std::vector<std::pair<int, QString>>& ChosenNotPictures() const { return chosenNotPictures_; }
    // The next row after the current one that is a readable picture: made
    // current and selected, its path returned; empty when there is none.
    QString AdvanceToNextPicture();
    // A row whose file could not be loaded is no longer taken for a picture.
    void MarkNotPicture(int rowID, const QString& why = QString());
    // Frees every row (quitting).
    void Clear();

    const std::vector<std::unique_ptr<tagFILEITEM>>& Rows() const { return FileItemArray; }
    // A row listed at the end (as a folder's listing adds them).
    void AddRow(std::unique_ptr<tagFILEITEM> row) { FileItemArray.push_back(std::move(row)); }
    // Rows from `count` on go.
    void DropRowsFrom(std::size_t count);
    // The current row; 0 = none.
    int CurrentRow() const { return gmyCurrentFileRow; }
    void SetCurrentRow(int rowID) { gmyCurrentFileRow = rowID; }
    // The row of the first volume (system folders are hidden there).
    int FirstVolumeRow() const { return firstVolumeRow; }
    void SetFirstVolumeRow(int rowID) { firstVolumeRow = rowID; }
    // The rows chosen for a batch add are forgotten.
    void ForgetChosen() { SelPicArrayRef.clear(); }

signals:
    // A row that is not a folder was double-clicked or had Return pressed.
    void rowOpened(tagFILEITEM* row);

private:
    std::vector<std::unique_ptr<tagFILEITEM>> FileItemArray;
    std::vector<int> SelPicArrayRef;  // rows chosen for a batch add
    std::vector<std::pair<int, QString>> chosenNotPictures_;
    int gmyCurrentFileRow = 0;        // file-browser row; 0 = none
    int firstVolumeRow = 0;           // row of the first volume (system folders hidden there)
    QIcon MyDocumentIcon;
    QTreeWidget* tree = nullptr;
};

} // namespace kestova::mac
