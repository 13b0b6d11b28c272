// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/widgets/FolderTree.h"

#include "imaging/LocalNames.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPointer>
#include <QScopedValueRollback>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyledItemDelegate>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <sys/stat.h>

namespace kestova::win {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kPlaceholderRole = Qt::UserRole + 2;
// Set once a listing found no sub-folders: the node shows no expand button.
constexpr int kNoSubfoldersRole = Qt::UserRole + 3;

// One mounted volume: its root (ending in '/') and the name shown for it.
using Volume = QPair<QString, QString>;

QList<Volume> ListVolumes()
{
    QList<Volume> out;
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
        if (!v.isValid() || !v.isReady())
            continue;
        // Read-only package images (snaps) are mounted volumes too, but no
        // place anyone keeps pictures.
        if (v.fileSystemType() == "squashfs")
            continue;
        QString root = v.rootPath();
        if (!QFileInfo(root).isDir())
            continue;  // a bind-mounted single file
        if (!root.endsWith(QLatin1Char('/')))
            root += QLatin1Char('/');
        QString name = v.displayName();
        if (name.isEmpty())
            name = root;
        out.append({root, name});
    }
    return out;
}

} // namespace

bool IsPhonePicture(const QString& fileName)
{
    const QString tail = fileName.right(5).toLower();
    return tail == QLatin1String(".heic") || tail == QLatin1String(".heif") || tail == QLatin1String(".avif");
}

bool IsBrowserPicture(const QString& fileName)
{
    const QString tail = fileName.right(4).toLower();
    return tail == QLatin1String(".bmp") || tail == QLatin1String(".jpg") || tail == QLatin1String("jpeg") ||
           tail == QLatin1String(".gif") || IsPhonePicture(fileName);
}

bool IsAddablePicture(const QString& nodeText)
{
    const QString tail = nodeText.right(5).toLower();
    for (const char* ext : {".bmp", ".jpg", ".jpeg", ".gif", ".png", ".tif"})
        if (tail.contains(QLatin1String(ext)))
            return true;
    return IsPhonePicture(nodeText);
}

void SortPathList(QStringList& paths)
{
    // The same order as inserting each path before the first entry that
    // compares greater (lower-cased, by character code): a stable sort on
    // the lower-cased text, without the quadratic insertion.
    std::vector<std::pair<QString, QString>> keyed;
    keyed.reserve(size_t(paths.size()));
    for (const QString& p : paths)
        keyed.emplace_back(p.toLower(), p);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (qsizetype i = 0; i < paths.size(); ++i)
        paths[i] = std::move(keyed[size_t(i)].second);
}

FolderListing ListFolder(const QString& folderPath)
{
    FolderListing out;
    // Read by bytes: a name that is not valid UTF-8 is listed too (Qt's own
    // listing leaves it out) and keeps its bytes for opening it later.
    QStringList names;
    if (!ListFolderNames(folderPath, names))
        return out;
    for (const QString& name : names) {
        // Dot-names are the hidden entries here.
        if (name.startsWith(QLatin1Char('.')))
            continue;
        const QString path = folderPath + name;
        struct stat st {};
        if (::stat(BytesOfName(path).constData(), &st) != 0)
            continue;  // a broken link
        if (S_ISDIR(st.st_mode))
            out.folders.append(path);
        else if (S_ISREG(st.st_mode) && IsBrowserPicture(name))
            out.pictures.append(path);
    }
    SortPathList(out.folders);
    SortPathList(out.pictures);
    return out;
}

// The tree's one worker thread: lists folders (and the mounted volumes) in
// the order asked and hands each result to `done`, on the worker thread.
// Started with the first request; the destructor finishes the listing in
// hand, drops the rest and joins.
class FolderListWorker {
public:
    struct Job {
        uint64_t token;
        QString path;  // empty: the mounted volumes
    };
    struct Result {
        FolderListing listing;
        QList<Volume> volumes;
    };
    using Done = std::function<void(uint64_t token, const QString& path, const Result& result)>;

    explicit FolderListWorker(Done done) : done_(std::move(done)) {}
    ~FolderListWorker()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            jobs_.clear();
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void Post(Job job)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            if (!thread_.joinable())
                thread_ = std::thread([this] { Run(); });
        }
        wake_.notify_one();
    }

private:
    void Run()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (stop_)
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            Result r;
            if (job.path.isEmpty())
                r.volumes = ListVolumes();
            else
                r.listing = ListFolder(job.path);
            done_(job.token, job.path, r);
        }
    }

    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

CFolderTree::CFolderTree(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("ctl1025"));
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setExpandsOnDoubleClick(true);
    // Expansion and collapse both run the expansion handler, which looks at
    // the node's state.
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* n) { HandleExpansion(n); });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* n) { HandleExpansion(n); });
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* now, QTreeWidgetItem*) {
        if (now && userAction_)
            OnSelectionChange(now);
    });
    worker_ = std::make_unique<FolderListWorker>(
        [this](uint64_t token, const QString& path, const FolderListWorker::Result& r) {
            // Runs on the worker: the nodes are touched only on the window's
            // thread. The tree joins the worker before it goes away, and a
            // queued call to a destroyed tree is dropped with it.
            QMetaObject::invokeMethod(
                this,
                [this, token, path, r] {
                    if (path.isEmpty())
                        ApplyVolumes(token, r.volumes);
                    else
                        ApplyListing(token, path, r.listing);
                },
                Qt::QueuedConnection);
        });
    Fill();
}

CFolderTree::~CFolderTree()
{
    worker_.reset();  // joins before any node or member goes away
}

QString CFolderTree::NodePath(const QTreeWidgetItem* node)
{
    return node ? node->data(0, kPathRole).toString() : QString();
}

bool CFolderTree::IsPlaceholder(const QTreeWidgetItem* node)
{
    return node && node->data(0, kPlaceholderRole).toBool();
}

void CFolderTree::AddPlaceholder(QTreeWidgetItem* node)
{
    auto* p = new QTreeWidgetItem(node);
    p->setData(0, kPlaceholderRole, true);
    p->setFlags(Qt::NoItemFlags);
}

QTreeWidgetItem* CFolderTree::InsertNode(QTreeWidgetItem* parent, Kind kind, const QString& path,
                                         const QString& text, const QIcon& icon, bool placeholder)
{
    auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
    node->setText(0, text);
    node->setIcon(0, icon);
    node->setData(0, kPathRole, path);
    node->setData(0, kKindRole, int(kind));
    if (placeholder)
        AddPlaceholder(node);
    return node;
}

void CFolderTree::Fill()
{
    pending_.clear();
    clear();
    computer_ = desktop_ = pictures_ = nullptr;
    currentFolder_.clear();

    auto asFolder = [](QString p) {
        if (!p.isEmpty() && !p.endsWith(QLatin1Char('/')))
            p += QLatin1Char('/');
        return p;
    };
    const QString desktopPath = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString picturesPath = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QFileIconProvider icons;
    computer_ = InsertNode(nullptr, Kind::Computer, QString(), tr("My Computer"),
                           icons.icon(QAbstractFileIconProvider::Computer), true);
    desktop_ = InsertNode(nullptr, Kind::Folder, asFolder(desktopPath), QFileInfo(desktopPath).fileName(),
                          icons.icon(QAbstractFileIconProvider::Desktop), true);
    pictures_ = InsertNode(nullptr, Kind::Folder, asFolder(picturesPath), QFileInfo(picturesPath).fileName(),
                           icons.icon(QAbstractFileIconProvider::Folder), true);
}

void CFolderTree::SetRootTexts(const QString& computer, const QString& desktop, const QString& pictures)
{
    if (computer_)
        computer_->setText(0, computer);
    if (desktop_)
        desktop_->setText(0, desktop);
    if (pictures_)
        pictures_->setText(0, pictures);
}

void CFolderTree::ForgetPending(QTreeWidgetItem* subtree)
{
    if (pending_.empty())
        return;
    pending_.erase(subtree);
    for (int i = 0; i < subtree->childCount(); ++i)
        ForgetPending(subtree->child(i));
}

void CFolderTree::OnSelectionChange(QTreeWidgetItem*) {}

void CFolderTree::ClearNode(QTreeWidgetItem* node, bool addPlaceholder)
{
    if (!node)
        return;
    for (QTreeWidgetItem* child : node->takeChildren()) {
        ForgetPending(child);
        delete child;
    }
    if (addPlaceholder)
        AddPlaceholder(node);
}

void CFolderTree::OnFilesFound(QTreeWidgetItem* node, const QStringList& paths)
{
    const QIcon icon = QFileIconProvider().icon(QAbstractFileIconProvider::File);
    for (const QString& p : paths)
        InsertNode(node, Kind::File, p, QFileInfo(p).fileName(), icon, false);
}

void CFolderTree::Request(QTreeWidgetItem* node, const QString& folderPath)
{
    const uint64_t token = nextToken_++;
    pending_[node] = token;
    if (!folderPath.isEmpty())
        lastFolderToken_ = token;
    worker_->Post({token, folderPath});
}

void CFolderTree::HandleExpansion(QTreeWidgetItem* node)
{
    if (!node || IsPlaceholder(node))
        return;
    // Removing nodes here can move the current item (when it was one of
    // them); that move is not the user's and must not start a nested run.
    QScopedValueRollback<bool> notUser(userAction_, false);
    const auto kind = Kind(node->data(0, kKindRole).toInt());
    if (kind == Kind::File)
        return;  // a file leaf has nothing to list
    if (!node->isExpanded()) {
        // A folder known to hold no sub-folders gets no placeholder back:
        // an expand button would promise what is not there.
        const bool listing = pending_.erase(node) > 0;
        ClearNode(node, listing || kind == Kind::Computer || !node->data(0, kNoSubfoldersRole).toBool());
        return;
    }
    if (kind == Kind::Computer) {
        ClearNode(node, false);
        Request(node, QString());
        return;
    }
    ListNode(node);
}

void CFolderTree::ListNode(QTreeWidgetItem* node)
{
    QScopedValueRollback<bool> notUser(userAction_, false);
    currentFolder_ = NodePath(node);
    // A collapsed node keeps its expand button while the listing runs, so
    // it can be opened at once.
    ClearNode(node, !node->isExpanded());
    Request(node, currentFolder_);
}

void CFolderTree::ListSelected(QTreeWidgetItem* node)
{
    if (!node || IsPlaceholder(node))
        return;
    const auto kind = Kind(node->data(0, kKindRole).toInt());
    // A folder or volume chosen while collapsed is listed as it stands: its
    // pictures reach the browser at once, its sub-folders wait under it.
    if (!node->isExpanded() && (kind == Kind::Folder || kind == Kind::Volume))
        ListNode(node);
    else
        HandleExpansion(node);
}

void CFolderTree::ApplyVolumes(uint64_t token, const QList<QPair<QString, QString>>& volumes)
{
    auto it = pending_.find(computer_);
    if (!computer_ || it == pending_.end() || it->second != token)
        return;
    pending_.erase(it);
    const QIcon icon = QFileIconProvider().icon(QAbstractFileIconProvider::Drive);
    for (const auto& [root, name] : volumes)
        InsertNode(computer_, Kind::Volume, root, name, icon, true);
    emit folderListed(QString());
}

void CFolderTree::ApplyListing(uint64_t token, const QString& folderPath, const FolderListing& listing)
{
    QTreeWidgetItem* node = nullptr;
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (it->second == token) {
            node = it->first;
            pending_.erase(it);
            break;
        }
    if (!node)
        return;  // collapsed, re-listed or removed meanwhile
    const QIcon icon = QFileIconProvider().icon(QAbstractFileIconProvider::Folder);
    node->setData(0, kNoSubfoldersRole, listing.folders.isEmpty());
    setUpdatesEnabled(false);
    for (int i = node->childCount() - 1; i >= 0; --i)
        if (IsPlaceholder(node->child(i)))
            delete node->takeChild(i);
    for (const QString& p : listing.folders)
        InsertNode(node, Kind::Folder, p + QLatin1Char('/'), ShownName(p.mid(p.lastIndexOf(QLatin1Char('/')) + 1)),
                   icon, true);
    setUpdatesEnabled(true);
    // Two folders expanded in quick succession: the browser shows the files
    // of the one listed last, as it would if each listing were immediate.
    if (token == lastFolderToken_)
        OnFilesFound(node, listing.pictures);
    emit folderListed(folderPath);
}

void CFolderTree::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        event->accept();  // swallowed: no selection, no menu
        return;
    }
    QTreeWidgetItem* before = currentItem();
    QTreeWidgetItem* at = itemAt(event->position().toPoint());
    const bool wasExpanded = at && at->isExpanded();
    userAction_ = true;
    QTreeWidget::mousePressEvent(event);
    // A click on the folder already chosen lists it again: files may have
    // come or gone since. A click on its expand button is not one.
    if (event->button() == Qt::LeftButton && at && at == before && currentItem() == at &&
        at->isExpanded() == wasExpanded && !IsPlaceholder(at))
        OnSelectionChange(at);
    userAction_ = false;
}

void CFolderTree::keyPressEvent(QKeyEvent* event)
{
    userAction_ = true;
    QTreeWidget::keyPressEvent(event);
    userAction_ = false;
}

void CFolderTree::contextMenuEvent(QContextMenuEvent* event)
{
    event->accept();  // the right button does nothing on the tree
}

void CFolderTree::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        QTreeWidgetItem* node = currentItem();
        if (node && !IsPlaceholder(node) && IsAddablePicture(node->text(0))) {
            QString path = NodePath(node);
            if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
                path.chop(1);
            emit addPictureRequested(path);
        }
    }
    userAction_ = true;
    QTreeWidget::mouseDoubleClickEvent(event);  // expands or collapses
    userAction_ = false;
}

void CPictureFolderTree::OnSelectionChange(QTreeWidgetItem* node)
{
    ListSelected(node);
}

void CPictureFolderTree::ClearNode(QTreeWidgetItem* node, bool addPlaceholder)
{
    emit clearBrowserList();
    CFolderTree::ClearNode(node, addPlaceholder);
}

void CPictureFolderTree::OnFilesFound(QTreeWidgetItem*, const QStringList& paths)
{
    emit filesFound(paths);
}

namespace {
// Every row of the browser list shows the same icon and is 17 pixels high;
// the icon is drawn by the delegate, so items carry nothing but their text.
class BrowserDelegate : public QStyledItemDelegate {
public:
    BrowserDelegate(CBrowserList* list) : QStyledItemDelegate(list), list_(list) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(CBrowserList::kRowHeight);
        return s;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (list_ && !list_->ItemIcon().isNull()) {
            option->icon = list_->ItemIcon();
            option->features |= QStyleOptionViewItem::HasDecoration;
        }
    }

private:
    QPointer<CBrowserList> list_;
};
} // namespace

CBrowserList::CBrowserList(QWidget* parent) : QListWidget(parent)
{
    setObjectName(QStringLiteral("ctl1073"));
    setViewMode(QListView::ListMode);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformItemSizes(true);
    setSpacing(0);
    setIconSize(QSize(16, 16));
    setItemDelegate(new BrowserDelegate(this));
    icon_ = QFileIconProvider().icon(QAbstractFileIconProvider::File);
}

void CBrowserList::Clear()
{
    clear();
}

void CBrowserList::AddPaths(const QStringList& paths)
{
    QStringList names;
    names.reserve(paths.size());
    for (const QString& p : paths)
        names.append(p.mid(p.lastIndexOf(QLatin1Char('/')) + 1));
    const int first = count();
    addItems(names);
    // A name that is not valid UTF-8 or holds control characters (a
    // newline) is shown with those escaped and keeps the real name for
    // opening it.
    for (int i = 0; i < names.size(); ++i)
        if (const QString shown = ShownName(names[i]); shown != names[i]) {
            QListWidgetItem* it = item(first + i);
            it->setData(kFileNameRole, names[i]);
            it->setText(shown);
        }
}

QString CBrowserList::FileName(const QListWidgetItem* item)
{
    if (!item)
        return QString();
    const QVariant real = item->data(kFileNameRole);
    return real.isValid() ? real.toString() : item->text();
}

void CBrowserList::SetItemIcon(const QIcon& icon)
{
    icon_ = icon;
    viewport()->update();
}

} // namespace kestova::win
