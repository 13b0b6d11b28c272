// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The album as a window shows it: one row per picture of the frame's album,
// in album order. Each row holds the picture as the frame stores it, the
// picture decoded as the frame shows it, the file it was made from and
// whether the frame holds it yet. Both windows present these rows; rows
// change only on the window's thread (FrameAlbum puts the results of its
// worker in here).
//
//     AlbumModel& album = frame.Album();
//     const AlbumEntry& e = album.At(row);   // e.bytes, e.picture, e.source, e.onFrame

#include <QAbstractListModel>
#include <QImage>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kestova::desktop {

struct AlbumEntry {
    std::vector<uint8_t> bytes;  // the device picture as the frame stores it
    QImage picture;              // decoded at the LCD size: what the frame shows
    QString source;              // the picture file it was made from; empty when read from the frame
    QString file;                // the window's own file of it (a cache bitmap, a work file); may be empty
    bool onFrame = false;        // the frame holds it: read from it, or written by a commit since
};

class AlbumModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        PictureRole = Qt::UserRole + 1,  // QImage
        SourceRole,                      // QString
        FileRole,                        // QString
        OnFrameRole,                     // bool
    };

    explicit AlbumModel(QObject* parent = nullptr);

    int Count() const { return int(rows_.size()); }
    const AlbumEntry& At(int row) const { return rows_.at(std::size_t(row)); }
    // The window's own file of every row, in album order.
    QStringList Files() const;

    void Append(AlbumEntry entry);
    void Insert(int row, AlbumEntry entry);
    void Remove(int row);
    // Takes row `row` out and hands it over (an empty entry for a bad row).
    AlbumEntry Take(int row);
    // Row `from` goes to position `to` (both positions of the album before
    // and after the move, as DPF::MoveFile takes them).
    void Move(int from, int to);
    void Clear();
    // A commit wrote the album: every row is on the frame now.
    void MarkAllOnFrame();
    // A write that ended early: the frame holds the first `first` rows.
    void MarkOnFrame(int first);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display: the file name of the row's own file.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<AlbumEntry> rows_;
};

} // namespace kestova::desktop
