// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album list as the window shows it: one model over the FileData list,
// from which the list view, the picture count and the preview are all derived,
// and the view that shows it.
//
// The model holds the rows that were handed to it on the main thread (name
// and display bitmap of each node), so that painting never reads a list that
// a worker task is rebuilding.

#include "mac/Node.h"

#include <QAbstractListModel>
#include <QListView>
#include <QString>

#include <vector>

namespace kestova::mac {

class AlbumModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int BitmapPathRole = Qt::UserRole + 1;

    explicit AlbumModel(QObject* parent = nullptr);

    // Shows nodes 1 to `count` of `list` (fewer if the list is shorter). Rows
    // that are already shown unchanged stay, so a person's choice survives a
    // Download; any other change rebuilds the rows.
    void Show(FileDataHead* list, int count);
    // Removes row `row` (from 0), as Delete does.
    void Remove(int row);
    void Clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // The display bitmap of row `row` (from 0); empty when there is none.
    QString BitmapPath(int row) const;

private:
    struct Row {
        QString name;
        QString bitmapPath;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows_;
};

// The album list ('pict' 0). Only the person makes a row current: taking
// the keyboard focus does not pick a row (a plain list would make its first
// row current, framed but not selected), and a row that stops being selected
// stops being current, so current and selected always look the same.
class AlbumListView : public QListView {
    Q_OBJECT
public:
    explicit AlbumListView(QWidget* parent = nullptr);

    // The selected row (from 0), or -1.
    int SelectedRow() const;
    // Selects row `row` (from 0) and makes it current; -1 clears both.
    void SelectRow(int row);
    // Words shown inside the list while it has no row; empty: none.
    void SetEmptyHint(const QString& text);

signals:
    // The selection changed: the selected row (from 0), or -1.
    void rowChosen(int row);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    QString emptyHint_;
};

} // namespace kestova::mac
