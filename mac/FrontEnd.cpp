// SPDX-License-Identifier: GPL-3.0-or-later
// The main window of mackestova: start-up, the status operations, quitting,
// and the file browser.

#include "mac/FrontEnd.h"

#include "device/CommUSB.h"
#include "device/DeviceText.h"
#include "flash_manager/DPF.h"
#include "mac/HIFramework/TNib.h"
#include "mac/LittleArrows.h"
#include "mac/StageViews.h"
#include "desktop/FrameAlbum.h"
#include "session/FrameLink.h"
#include "session/FrameSession.h"

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QGridLayout>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QCloseEvent>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUndoStack>

#include <algorithm>
#include <cstdio>

namespace kestova::mac {

namespace {
FrontEnd* gFrontEnd = nullptr;

// The control group that SetControlPanlEnable switches as one.
const char* const kPanelControls[] = {"dela_0", "suts_0", "open_0", "load_0", "trns_10", "trns_11", "upld_0",
                                      "delp_0", "slet_0", "rota_0", "scal_1", "CLVW_0", "pict_0"};
} // namespace

FrontEnd* FrontEnd::Instance()
{
    return gFrontEnd;
}

FrontEnd::FrontEnd()
{
    gFrontEnd = this;
    exitProgram = [](int code) { QCoreApplication::exit(code); };
    albumRows = new AlbumRows(this);
    // The count and the preview follow every change of the listed rows (a
    // rebuilt list has no selection, so the preview empties with it).
    auto follow = [this] {
        ShowDPFSpace();
        ShowChosenRow(pictList ? pictList->SelectedRow() : -1);
    };
    connect(albumRows, &QAbstractItemModel::modelReset, this, follow);
    connect(albumRows, &QAbstractItemModel::rowsRemoved, this, follow);
    connect(albumRows, &QAbstractItemModel::rowsInserted, this, follow);
    connect(albumRows, &QAbstractItemModel::rowsMoved, this, follow);

    // The crop tool says what changed; the controls and views follow (queued
    // in order when a batch task is the one placing pictures).
    cropTool->FollowTransfer(&gmyIsTransferData);
    connect(cropTool, &CropTool::arrowsValueSet, this, [this](int arrows, int value) {
        if (LittleArrows* a = ArrowsControl(arrows))
            a->SetControl32BitValue(value);
    });
    connect(cropTool, &CropTool::arrowsRangeSet, this, [this](int arrows, int minimum, int maximum) {
        if (LittleArrows* a = ArrowsControl(arrows)) {
            a->SetControl32BitMinimum(minimum);
            a->SetControl32BitMaximum(maximum);
        }
    });
    connect(cropTool, &CropTool::suitableSizeSet, this, [this](bool on) {
        if (auto* box = FindControl<QCheckBox>("suts", 0))
            box->setChecked(on);
    });
    connect(cropTool, &CropTool::stageChanged, this, [this] { RedrawStage(); });
    connect(cropTool, &CropTool::previewChanged, this, [this] { RedrawPreview(); });
    connect(cropTool, &CropTool::refused, this, [this](const QString& text) { SetNotes(text); });
    connect(fileRows, &FileBrowser::rowOpened, this, [this](tagFILEITEM* row) { OpenRow(row); });
}

FrontEnd::~FrontEnd()
{
    WaitForTask();
    CloseResource();
    // The worker ends before anything it calls back into goes.
    delete frame;
    frame = nullptr;
    drawHandler_.reset();
    closeHandler_.reset();
    delete gMainWindowRef;
    if (gFrontEnd == this)
        gFrontEnd = nullptr;
}

template <class T> T* FrontEnd::FindControl(const char* signature, int id) const
{
    if (!gMainWindowRef)
        return nullptr;
    return gMainWindowRef->findChild<T*>(QStringLiteral("%1_%2").arg(QLatin1String(signature)).arg(id));
}

void FrontEnd::OnMain(std::function<void()> fn)
{
    if (QThread::currentThread() == thread())
        fn();
    else
        QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// Start-up

bool FrontEnd::StartUp(const StartOptions& options)
{
    // Work folders: the program's own folder may be read-only once installed,
    // so the picture work files live in the user's application data folder,
    // in a folder of this copy's own (several copies may run, each on its own
    // frame).
    gmyApppath = options.appPath.isEmpty() ? QCoreApplication::applicationDirPath() : options.appPath;
    QString base = options.resourcePath;
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (workFolder.Make(base, {QStringLiteral("data"), QStringLiteral("Edata")})) {
        gmyResousepath = workFolder.Path();
    } else {
        std::printf("No work folder could be made in %s; pictures cannot be read or added.\n", qPrintable(base));
        std::fflush(stdout);
    }

    gmyPictureData = CreateList();

    TNib nib(QStringLiteral("main"));
    gMainWindowRef = nib.CreateWindowFromNib(QStringLiteral("MainWindow"));
    if (!gMainWindowRef)
        return false;
    nib.SetMenuBarFromNib(gMainWindowRef, QStringLiteral("MenuBar"));
    if (options.editLayout)
        options.editLayout(gMainWindowRef);
    // A button that has the keyboard focus is pressed with Return as well as
    // with Space, so the window can be worked with the keyboard alone.
    for (QPushButton* button : gMainWindowRef->findChildren<QPushButton*>())
        button->setAutoDefault(true);

    // Album list.
    pictList = FindControl<AlbumListView>("pict", 0);
    // The title carries the marker of an album that differs from the frame's.
    gMainWindowRef->setWindowTitle(QStringLiteral("MacKestova[*]"));
    if (pictList) {
        pictList->setModel(albumRows);
        connect(pictList, &AlbumListView::rowChosen, this, [this](int row) { ShowChosenRow(row); });
        connect(pictList, &AlbumListView::moveRequested, this, &FrontEnd::MoveRows);
    }
    if (auto* del = FindControl<QAbstractButton>("delp", 0))
        connect(del, &QAbstractButton::clicked, this, [this] { MyDelButtonHandler(); });
    if (auto* load = FindControl<QAbstractButton>("load", 0))
        connect(load, &QAbstractButton::clicked, this, [this] { MyDownLoadButtonHandler(); });
    closeHandler_ = InstallEventHandler(gMainWindowRef, {{kEventClassWindow, kEventWindowClose}},
                                        [this](TCarbonEvent&) { return CloseWindowHandler(); });
    gMainWindowRef->installEventFilter(this);

    stageView = FindControl<StageView>("mVue", 130);
    rectView = FindControl<CropOverlay>("rect", 130);
    previewView = FindControl<PictureView>("prev", 0);

    // From the rotation arrows on, a missing control ends the set-up here:
    // the window shows without a device connection.
    LittleArrows*& rotaArrows = arrows[CropTool::RotationArrows];
    LittleArrows*& scalArrows = arrows[CropTool::ScaleArrows];
    LittleArrows*& trnsXArrows = arrows[CropTool::OffsetXArrows];
    LittleArrows*& trnsYArrows = arrows[CropTool::OffsetYArrows];
    rotaArrows = FindControl<LittleArrows>("rota", 0);
    scalArrows = FindControl<LittleArrows>("scal", 1);
    trnsXArrows = FindControl<LittleArrows>("trns", 10);
    trnsYArrows = FindControl<LittleArrows>("trns", 11);
    auto* add = FindControl<QAbstractButton>("slet", 0);
    auto* open = FindControl<QAbstractButton>("open", 0);
    auto* delAll = FindControl<QCheckBox>("dela", 0);
    auto* suitable = FindControl<QCheckBox>("suts", 0);
    auto* upload = FindControl<QAbstractButton>("upld", 0);
    if (!rotaArrows || !scalArrows || !trnsXArrows || !trnsYArrows || !add || !open || !stageView || !rectView ||
        !previewView || !delAll || !suitable || !upload) {
        std::printf("A control of the main window is missing; starting without the frame.\n");
        std::fflush(stdout);
        return false;
    }
    rotaArrows->SetControl32BitMinimum(0);
    rotaArrows->SetControl32BitMaximum(359);
    scalArrows->SetControl32BitMinimum(0);
    scalArrows->SetControl32BitMaximum(1000);
    for (LittleArrows* offset : {trnsXArrows, trnsYArrows}) {
        offset->SetControl32BitMinimum(0);
        offset->SetControl32BitMaximum(0);
    }
    connect(rotaArrows, &LittleArrows::valueChangedByUser, this, [this] {
        ClearOrderNote();
        MyRotateArrowHandler();
    });
    connect(scalArrows, &LittleArrows::valueChangedByUser, this, [this] {
        ClearOrderNote();
        MyScaleArrowXHandler();
    });
    connect(trnsXArrows, &LittleArrows::valueChangedByUser, this, [this] {
        ClearOrderNote();
        MyTranslateArrowXHandler();
    });
    connect(trnsYArrows, &LittleArrows::valueChangedByUser, this, [this] {
        ClearOrderNote();
        MyTranslateArrowYHandler();
    });
    connect(add, &QAbstractButton::clicked, this, [this] { MyAddButtonHandler(); });
    connect(open, &QAbstractButton::clicked, this, [this] { MyOpenButtonHandler(); });
    connect(stageView, &PictureView::drawRequested, cropTool, &CropTool::DrawStage, Qt::DirectConnection);
    connect(rectView, &PictureView::drawRequested, cropTool, &CropTool::DrawCropRect, Qt::DirectConnection);
    connect(rectView, &CropOverlay::pressed, cropTool,
            [this](QPointF p, bool* track) { *track = cropTool->HitTest(p); }, Qt::DirectConnection);
    connect(rectView, &CropOverlay::tracked, cropTool, &CropTool::Track, Qt::DirectConnection);
    connect(previewView, &PictureView::drawRequested, this, [this](QPainter& p) { MyPreviewEventHandler(p); },
            Qt::DirectConnection);
    connect(delAll, &QAbstractButton::clicked, this, [this, delAll] { gmyDeleteAll = delAll->isChecked(); });
    connect(suitable, &QAbstractButton::clicked, this, [this] { MySuitableSizeCheckBoxHandler(); });
    connect(upload, &QAbstractButton::clicked, this, [this] { MyUpLoadButtonHandler(); });
    drawHandler_ = InstallEventHandler(QCoreApplication::instance(), {{kEventClassDraw, kEventKindDraw}},
                                       [this](TCarbonEvent&) {
                                           AddPictureFinished();
                                           return true;
                                       });

    // Tab goes the way the work goes: file browser, placement, Open and Add,
    // then the album list and what acts on it.
    const char* const tabOrder[] = {"CLVW_0", "rota_0", "scal_1", "trns_10", "trns_11", "suts_0", "open_0",
                                    "slet_0", "pict_0", "delp_0", "dela_0", "load_0", "upld_0"};
    QWidget* previous = nullptr;
    for (const char* name : tabOrder) {
        auto* w = gMainWindowRef->findChild<QWidget*>(QLatin1String(name));
        if (previous && w)
            QWidget::setTabOrder(previous, w);
        if (w)
            previous = w;
    }

    SetControlPanlEnable(false);

    StartDevice(options);
    CreateEditActions();
    ShowEmptyHint();
    CreateReadAgainAction();
    // A frame already there is being read by now; otherwise the person is
    // told how to attach one (unless another program holds it: then the
    // status line already names the holder).
    if (!G_isDeviceOnLine && !TaskRunning() && frame->FrameInUse().empty())
        SetNotes(QString::fromUtf8(kNoFrameText));

    fileRows->GetSystemDisk();
    fileRows->Attach(FindControl<QTreeWidget>("CLVW", 0));

    fileRows->ForgetChosen();
    return true;
}

void FrontEnd::ShowWindow()
{
    if (gMainWindowRef)
        gMainWindowRef->show();
}

void FrontEnd::StartDevice(const StartOptions& options)
{
    // The candidates: the machine's own units and the virtual frame named
    // on the command line.
    frame = new desktop::FrameAlbum(
        session::FrameChoice(options.frameArg, options.scanMachine, "LanguageUnicode.ini"), options.pollIntervalMs);
    // The list presents the layer's album; the node list is derived from it.
    albumRows->setSourceModel(&frame->Album());
    const desktop::AlbumModel* album = &frame->Album();
    connect(album, &QAbstractItemModel::rowsInserted, this, [this] { DerivePictureData(); });
    connect(album, &QAbstractItemModel::rowsRemoved, this, [this] { DerivePictureData(); });
    connect(album, &QAbstractItemModel::rowsMoved, this, [this] { DerivePictureData(); });
    connect(album, &QAbstractItemModel::modelReset, this, [this] { DerivePictureData(); });
    connect(album, &QAbstractItemModel::dataChanged, this, [this] { DerivePictureData(); });
    // A deleted picture's work files stay while its delete can be undone;
    // the history removes them once it cannot.
    frame->SetHistoryOwnsFiles(true);
    connect(frame, &desktop::FrameAlbum::modifiedChanged, this, &FrontEnd::ShowModified);
    connect(frame, &desktop::FrameAlbum::frameAttached, this, [this] { OnDeviceStatus(true); });
    connect(frame, &desktop::FrameAlbum::frameLeft, this, [this] { OnDeviceStatus(false); });
    connect(frame, &desktop::FrameAlbum::frameInUseChanged, this, &FrontEnd::ShowFrameInUse);
    connect(frame, &desktop::FrameAlbum::opened, this, &FrontEnd::OnAlbumOpened);
    connect(frame, &desktop::FrameAlbum::readFinished, this, &FrontEnd::ReadFinished);
    connect(frame, &desktop::FrameAlbum::progress, this, [this](desktop::Job job, int done, int total) {
        if (job == desktop::Job::Commit)
            DownloadPictureNotify(0, done, total);
    });
    // A frame there at start is read at once.
    frame->Follow();
    frame->Start();
}

void FrontEnd::ShowFrameInUse(const std::string& message)
{
    // The link polls a taken frame on the discovery timer and announces it
    // online once its holder lets go; until then the status line says who
    // has it. The holder's name is whatever that process calls itself:
    // shown with its control bytes escaped, like text from a device.
    frameInUse_ = !message.empty();
    ShowEmptyHint();
    ShowDPFSpace();
    if (message.empty())
        return;
    QString text = QString::fromStdString(EscapeDeviceText(message));
    text[0] = text[0].toUpper();
    SetNotes(text);
}

void FrontEnd::OnDeviceStatus(bool online)
{
    if (online) {
        if (!G_isDeviceOnLine)
            SetFlashOnline();
    } else {
        SetFlashOffline();
    }
}

// ---------------------------------------------------------------------------
// Status operations

void FrontEnd::SetNotes(const QString& text)
{
    OnMain([this, text] {
        if (auto* label = FindControl<QLabel>("dnol", 0)) {
            // Paths, failure words and names from elsewhere are shown as
            // they are, never read as markup.
            label->setTextFormat(Qt::PlainText);
            // A long text (every file a batch left out, say) never widens
            // the window: the line shows what fits and the tooltip all.
            label->setSizePolicy(QSizePolicy::Ignored, label->sizePolicy().verticalPolicy());
            label->setText(text);
            label->setToolTip(text);
        }
    });
}

void FrontEnd::SetDownLoadPrcess(int value)
{
    const int v = std::clamp(value, 0, 100);
    OnMain([this, v] {
        if (auto* bar = FindControl<QProgressBar>("dnpr", 0)) {
            bar->setValue(v);
            bar->repaint();
        }
    });
}

void FrontEnd::SetControlPanlEnable(bool enable)
{
    OnMain([this, enable] {
        if (!gMainWindowRef)
            return;
        std::vector<QWidget*> group;
        for (const char* name : kPanelControls)
            if (auto* w = gMainWindowRef->findChild<QWidget*>(QLatin1String(name)))
                group.push_back(w);
        QWidget* focus = QApplication::focusWidget();
        auto inGroup = [&](QWidget* w) {
            return w && std::any_of(group.begin(), group.end(), [w](QWidget* g) { return g == w || g->isAncestorOf(w); });
        };
        if (!enable && inGroup(focus)) {
            // A disabled control hands its focus to the next one in the tab
            // chain, which may be the album list (which would pick a row).
            // The window takes it instead, and the control gets it back when
            // the group is enabled again.
            focusBeforeDisable_ = focus;
            gMainWindowRef->setFocus(Qt::OtherFocusReason);
        }
        for (QWidget* w : group)
            w->setEnabled(enable);
        if (enable && focusBeforeDisable_ && focusBeforeDisable_->isEnabled() && gMainWindowRef->isActiveWindow() &&
            !inGroup(QApplication::focusWidget()))
            focusBeforeDisable_->setFocus(Qt::OtherFocusReason);
        if (enable)
            focusBeforeDisable_ = nullptr;
        UpdateEditActions();
        gMainWindowRef->update();
    });
}

void FrontEnd::ShowDPFSpace()
{
    // The count is that of the pictures listed, so it cannot disagree with
    // the list (no pictures while offline or after a failed read).
    OnMain([this] {
        const int count = albumRows->rowCount();
        const int max = frame ? frame->MaxPictures() : 0;
        auto* label = FindControl<QLabel>("PNUM", 0);
        if (!label)
            return;
        // A frame another program holds has an album nobody here has read:
        // no count is known.
        if (frameInUse_ && !G_isDeviceOnLine)
            label->setText(QStringLiteral("---/---"));
        else
            label->setText(QStringLiteral("%1/%2").arg(count, 3, 10, QLatin1Char('0')).arg(max, 3, 10, QLatin1Char('0')));
    });
}

// ---------------------------------------------------------------------------
// Editing: the actions, the shortcut list, the modified marker

namespace {
QString Keys(const QKeySequence& keys)
{
    return keys.toString(QKeySequence::NativeText);
}
// A modifier as the platform writes it before a key ("Ctrl+", "Shift+").
QString Modifier(Qt::Modifier modifier)
{
    QString text = Keys(QKeySequence(modifier | Qt::Key_A));
    text.chop(1);
    return text;
}
} // namespace

void FrontEnd::CreateEditActions()
{
    if (!gMainWindowRef)
        return;
    auto make = [this](const char* name, const QString& text, const QList<QKeySequence>& keys,
                       std::function<void()> run) {
        auto* action = new QAction(text, gMainWindowRef);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        connect(action, &QAction::triggered, this, std::move(run));
        return action;
    };
    QAction* undo = make("actionUndo", QStringLiteral("&Undo"), {QKeySequence(Qt::CTRL | Qt::Key_Z)},
                         [this] { UndoEdit(false); });
    QAction* redo = make("actionRedo", QStringLiteral("&Redo"),
                         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
                         [this] { UndoEdit(true); });
    QAction* up = make("actionMoveUp", QStringLiteral("Move &Up"), {QKeySequence(Qt::ALT | Qt::Key_Up)},
                       [this] { MoveSelection(-1); });
    QAction* down = make("actionMoveDown", QStringLiteral("Move &Down"), {QKeySequence(Qt::ALT | Qt::Key_Down)},
                         [this] { MoveSelection(+1); });
    QAction* keys = make("actionShortcuts", QStringLiteral("&Keyboard Shortcuts"), {QKeySequence(Qt::Key_F1)},
                         [this] { ShowShortcuts(); });
    // Download as kestova's Synchronize: only while its button may be pressed.
    QAction* download = make("actionDownload", QStringLiteral("&Download"), {QKeySequence(Qt::CTRL | Qt::Key_S)},
                             [this] {
                                 if (auto* load = FindControl<QAbstractButton>("load", 0); load && load->isEnabled())
                                     MyDownLoadButtonHandler();
                             });
    for (QAction* a : {undo, redo, up, down, keys, download})
        a->setShortcutContext(Qt::WindowShortcut);
    if (frame) {
        connect(&frame->History(), &QUndoStack::canUndoChanged, this, [this] { UpdateEditActions(); });
        connect(&frame->History(), &QUndoStack::canRedoChanged, this, [this] { UpdateEditActions(); });
        connect(frame, &desktop::FrameAlbum::jobEnded, this, [this] { UpdateEditActions(); });
    }
    if (auto* file = gMainWindowRef->findChild<QMenu*>(QStringLiteral("fileMenu"))) {
        const QList<QAction*> items = file->actions();
        file->insertAction(items.size() > 1 ? items.at(1) : nullptr, download);
    }
    if (auto* bar = gMainWindowRef->findChild<QMenuBar*>(QStringLiteral("MenuBar"))) {
        QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
        edit->setObjectName(QStringLiteral("editMenu"));
        edit->addActions({undo, redo});
        edit->addSeparator();
        edit->addActions({up, down});
        QMenu* help = bar->addMenu(QStringLiteral("&Help"));
        help->setObjectName(QStringLiteral("helpMenu"));
        help->addAction(keys);
    }
    // The shortcuts work wherever the window has the keys, also without a
    // menu bar.
    gMainWindowRef->addActions({undo, redo, up, down, keys, download});
    UpdateEditActions();
    if (pictList) {
        // Delete (and the Mac keyboard's delete key, Backspace) takes the
        // selection while the list has the keys.
        QAction* del = make("actionDelete", QStringLiteral("&Delete"),
                            {QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace)},
                            [this] { DeletePictures(false); });
        del->setShortcutContext(Qt::WidgetShortcut);
        auto* separator1 = new QAction(pictList);
        separator1->setSeparator(true);
        auto* separator2 = new QAction(pictList);
        separator2->setSeparator(true);
        pictList->addActions({up, down, del, separator1, undo, redo, separator2, keys});
        pictList->setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    // What each button does, with its shortcut where it has one.
    auto tip = [this](const char* name, const QString& text) {
        if (auto* w = gMainWindowRef->findChild<QWidget*>(QLatin1String(name)))
            w->setToolTip(text);
    };
    tip("load_0", QStringLiteral("Write the album to the frame (%1)").arg(Keys(QKeySequence(Qt::CTRL | Qt::Key_S))));
    tip("upld_0", QStringLiteral("Save the album's pictures to a folder"));
    tip("delp_0", QStringLiteral("Delete the selected pictures; with none selected, the last one (%1 in the list)")
                      .arg(Keys(QKeySequence(Qt::Key_Delete))));
    tip("dela_0", QStringLiteral("Delete takes every picture while this is checked"));
    tip("slet_0", QStringLiteral("Add the picture on the stage to the album"));
    tip("pict_0", QStringLiteral("Drag pictures to reorder them (%1 / %2 move the selection); %3 undoes, %4 lists the "
                                 "shortcuts")
                      .arg(Keys(QKeySequence(Qt::ALT | Qt::Key_Up)), Keys(QKeySequence(Qt::ALT | Qt::Key_Down)),
                           Keys(QKeySequence(Qt::CTRL | Qt::Key_Z)), Keys(QKeySequence(Qt::Key_F1))));
}

void FrontEnd::CreateReadAgainAction()
{
    if (!gMainWindowRef)
        return;
    // After a read that failed part-way the album cannot be edited; reading
    // the frame again needs no replug.
    auto* again = new QAction(QStringLiteral("&Read the Frame Again"), gMainWindowRef);
    again->setObjectName(QStringLiteral("actionReadAgain"));
    again->setShortcut(QKeySequence(Qt::Key_F5));
    again->setShortcutContext(Qt::WindowShortcut);
    connect(again, &QAction::triggered, this, [this] { ReadFrameAgain(); });
    if (auto* file = gMainWindowRef->findChild<QMenu*>(QStringLiteral("fileMenu"))) {
        auto* quit = gMainWindowRef->findChild<QAction*>(QStringLiteral("actionQuit"));
        file->insertAction(quit && file->actions().contains(quit) ? quit : nullptr, again);
        file->insertSeparator(quit && file->actions().contains(quit) ? quit : nullptr);
    }
    // The key works also without a menu bar.
    gMainWindowRef->addAction(again);
}

void FrontEnd::ShowShortcuts()
{
    if (!gMainWindowRef)
        return;
    if (shortcutList_) {
        shortcutList_->show();
        shortcutList_->raise();
        shortcutList_->activateWindow();
        return;
    }
    const struct {
        QString keys;
        const char* what;
    } rows[] = {
        {Keys(QKeySequence(Qt::Key_F1)), "This list"},
        {Keys(QKeySequence(Qt::CTRL | Qt::Key_S)), "Download: write the album to the frame"},
        {Keys(QKeySequence(Qt::Key_F5)), "Read the frame again"},
        {Keys(QKeySequence(Qt::CTRL | Qt::Key_Z)), "Undo the last edit of the album (add, delete, move)"},
        {Keys(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)) + QStringLiteral(", ") +
             Keys(QKeySequence(Qt::CTRL | Qt::Key_Y)),
         "Redo the edit just undone"},
        {Keys(QKeySequence(Qt::ALT | Qt::Key_Up)) + QStringLiteral(" / ") + Keys(QKeySequence(Qt::ALT | Qt::Key_Down)),
         "Move the selected pictures one place up / down"},
        {QStringLiteral("Drag"), "Move the selected pictures to another place in the list"},
        {Modifier(Qt::CTRL) + QStringLiteral("click, ") + Modifier(Qt::SHIFT) + QStringLiteral("click"),
         "Select several pictures in the album list"},
        {Keys(QKeySequence(Qt::Key_Delete)) + QStringLiteral(", ") + Keys(QKeySequence(Qt::Key_Backspace)),
         "Delete the selected pictures (in the album list)"},
        {QStringLiteral("Double-click"), "Place a picture of the file browser on the stage"},
        {Keys(QKeySequence(Qt::Key_Up)) + QStringLiteral(" / ") + Keys(QKeySequence(Qt::Key_Down)),
         "Turn, scale or move the placed picture (in its arrows)"},
        {Keys(QKeySequence(Qt::Key_Tab)) + QStringLiteral(" / ") + Keys(QKeySequence(Qt::SHIFT | Qt::Key_Tab)),
         "Go from control to control"},
        {Keys(QKeySequence(Qt::Key_Space)) + QStringLiteral(", ") + Keys(QKeySequence(Qt::Key_Return)),
         "Press the button that has the keys"},
        {Keys(QKeySequence(Qt::CTRL | Qt::Key_Q)), "Quit"},
    };
    auto* box = new QDialog(gMainWindowRef);
    box->setObjectName(QStringLiteral("shortcutList"));
    box->setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    auto* grid = new QGridLayout(box);
    int line = 0;
    for (const auto& r : rows) {
        auto* keys = new QLabel(r.keys, box);
        keys->setTextFormat(Qt::PlainText);
        QFont bold = keys->font();
        bold.setBold(true);
        keys->setFont(bold);
        auto* what = new QLabel(QString::fromLatin1(r.what), box);
        what->setTextFormat(Qt::PlainText);
        grid->addWidget(keys, line, 0);
        grid->addWidget(what, line, 1);
        ++line;
    }
    auto* close = new QPushButton(QStringLiteral("Close"), box);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, box, &QDialog::close);
    grid->addWidget(close, line, 1, Qt::AlignRight);
    shortcutList_ = box;
    box->show();
    box->activateWindow();
}

void FrontEnd::UpdateEditActions()
{
    if (!gMainWindowRef)
        return;
    const bool edit = frame && CanEdit();
    if (auto* undo = gMainWindowRef->findChild<QAction*>(QStringLiteral("actionUndo")))
        undo->setEnabled(edit && frame->History().canUndo());
    if (auto* redo = gMainWindowRef->findChild<QAction*>(QStringLiteral("actionRedo")))
        redo->setEnabled(edit && frame->History().canRedo());
    for (const char* name : {"actionMoveUp", "actionMoveDown"})
        if (auto* move = gMainWindowRef->findChild<QAction*>(QLatin1String(name)))
            move->setEnabled(edit);
}

void FrontEnd::ShowEmptyHint()
{
    if (!pictList)
        return;
    // The program's texts are English (it has no language file).
    if (G_isDeviceOnLine && !frameUnusable_ && albumWhole_)
        pictList->SetEmptyHint(QStringLiteral("No pictures yet: double-click one on the left to place it on the "
                                              "stage, then press Add."));
    else if (frameInUse_)
        pictList->SetEmptyHint(QStringLiteral("The frame is in use by another program."));
    else if (!G_isDeviceOnLine)
        pictList->SetEmptyHint(QStringLiteral("No frame attached."));
    else
        pictList->SetEmptyHint(QString());
}

void FrontEnd::ClearOrderNote()
{
    auto* label = FindControl<QLabel>("dnol", 0);
    if (label && label->text() == QString::fromUtf8(kOrderNote))
        SetNotes(QString());
}

void FrontEnd::ShowModified(bool modified)
{
    if (!gMainWindowRef)
        return;
    gMainWindowRef->setWindowModified(modified);
    // Download stands out while there is something to write.
    if (auto* load = FindControl<QPushButton>("load", 0)) {
        QFont font = load->font();
        font.setBold(modified);
        load->setFont(font);
    }
}

// ---------------------------------------------------------------------------
// Quitting

void FrontEnd::MyQuit()
{
    // A task that has just started (the read of a frame that arrived) counts
    // as a transfer before it has set the mark itself.
    auto refuse = [this] {
        if (!gmyIsTransferData && !TaskRunning())
            return false;
        SetNotes(QStringLiteral("Can't quit Kestova,during transfering data."));
        return true;
    };
    if (refuse())
        return;
    // Edits since the last read or Download (adds, deletes, moves) are only
    // in the window: the alert says so, and Return alone keeps them (Cancel
    // is the default).
    const bool unsent = frame && frame->Modified();
    QMessageBox alert(QMessageBox::Information, QStringLiteral("MacKestova"),
                      unsent ? QStringLiteral("Really want to quit? Changes to the album are not yet on the frame; "
                                              "they are lost unless you Download first.")
                             : QStringLiteral("Really want to quit?"),
                      QMessageBox::Ok | QMessageBox::Cancel, gMainWindowRef);
    alert.setObjectName(QStringLiteral("quitAlert"));
    if (unsent)
        alert.setDefaultButton(QMessageBox::Cancel);
    // The alert takes the keys as soon as it shows (Return is OK, Escape
    // Cancel), also where no window manager hands them over.
    QTimer::singleShot(0, &alert, [&alert] { alert.activateWindow(); });
    if (alert.exec() != QMessageBox::Ok) {
        TakeKeysBack();
        return;
    }
    // The frame may have arrived while the alert waited; its read must not
    // lose its album list and work files under it.
    if (refuse())
        return;
    CloseResource();
    if (exitProgram)
        exitProgram(0);
}

void FrontEnd::TakeKeysBack()
{
    // Not every desktop gives the window the activation back when a dialog
    // of its own closes; without it Ctrl+Q and the other keys would go
    // nowhere.
    if (gMainWindowRef && gMainWindowRef->isVisible())
        gMainWindowRef->activateWindow();
}

bool FrontEnd::eventFilter(QObject* watched, QEvent* event)
{
    // The window's close box becomes the program's ('wind', 72) event; the
    // window itself never closes on its own.
    if (watched == gMainWindowRef && event->type() == QEvent::Close) {
        event->ignore();
        TCarbonEvent(kEventClassWindow, kEventWindowClose).SendTo(gMainWindowRef);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool FrontEnd::CloseWindowHandler()
{
    MyQuit();
    return true;
}

// ---------------------------------------------------------------------------
// File browser

void FrontEnd::OpenRow(tagFILEITEM* item)
{
    if (!item || item->isFolder || gmyIsTransferData)
        return;
    SetNotes(QString());
    fileRows->SetCurrentRow(item->rowID);
    cropTool->SelectOnePicture(item->path, false);
}

} // namespace kestova::mac
