// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program-wide state and the handlers of mackestova: the main window and
// its status operations, the file browser, the placement of a picture on the
// stage and the album workflow. One FrontEnd lives for the whole run of the
// program (tests make one per case).
//
// Threads: the window, its controls and the handlers run on the main thread.
// The frame's slow work (reading the album, a batch add, Download) runs on
// the desktop album layer's worker (desktop::FrameAlbum), one job at a time;
// the steps it calls back for this program's work files run there and write
// the status line through the status operations (which forward to the main
// thread). Each job's end reaches the main thread as the layer's signal,
// whose slot posts the program's own event ('draw', 'draw'); its handler
// AddPictureFinished finishes the work on the main thread.

#include "mac/HIFramework/TEventHandler.h"
#include "mac/AlbumList.h"
#include "mac/CropTool.h"
#include "mac/FileBrowser.h"
#include "mac/Node.h"
#include "desktop/RunFolder.h"
#include "imaging/ProcessPic.h"

#include <QIcon>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QPointF>
#include <QString>
#include <QUrl>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QMainWindow;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestova::desktop {
class FrameAlbum;
struct AddSteps;
struct ReadOutcome;
}
namespace kestova::session {
struct OpenResult;
struct AddResult;
struct CommitResult;
}

namespace kestova::mac {

class LittleArrows;
class StageView;
class CropOverlay;
class PictureView;

// How a run of the program is set up (main fills it from the command line).
struct StartOptions {
    // Folder under which each running copy makes a work folder of its own
    // (with "data" and "Edata" in it); empty means the user's application
    // data folder.
    QString resourcePath;
    // Folder of the program itself.
    QString appPath;
    // A virtual frame "PATH[,key=value...]" to attach (also from KESTOVA_FRAME).
    std::string frameArg;
    // Look for the machine's own frames as well (off in tests).
    bool scanMachine = true;
    // Milliseconds between checks of a frame that cannot announce its leaving;
    // 0 keeps the link's own interval.
    int pollIntervalMs = 0;
    // Changes the window built from the layout before the controls are looked
    // up (a layout with a control missing, in tests).
    std::function<void(QMainWindow*)> editLayout;
};

class FrontEnd : public QObject {
    Q_OBJECT
public:
    static constexpr float kStageWidth = CropTool::kStageWidth;
    static constexpr float kStageHeight = CropTool::kStageHeight;
    static constexpr int kMaxListedPictures = 510;
    // Why the frame's pictures cannot move behind new ones (a refused move).
    static constexpr const char* kOrderNote =
        "Pictures already on the frame stay ahead of new ones until the album is downloaded.";
    // The status line while no frame is attached: how to attach one.
    static constexpr const char* kNoFrameText = "Device Not Online! Put the frame in its \"UPDATE\" mode and plug it in.";

    FrontEnd();
    ~FrontEnd() override;
    FrontEnd(const FrontEnd&) = delete;
    FrontEnd& operator=(const FrontEnd&) = delete;

    // The one front-end of the process (the progress callback reaches it).
    static FrontEnd* Instance();

    // Start-up steps after the application object: work folders, album list,
    // window, handlers, device link, file browser, encoder. Returns false when
    // a control is missing and the set-up was cut short (the window still
    // shows, without a device connection).
    bool StartUp(const StartOptions& options);
    void ShowWindow();

    // ---- status operations ----
    void SetNotes(const QString& text);
    void SetDownLoadPrcess(int value);
    void SetControlPanlEnable(bool enable);
    void ShowDPFSpace();

    // ---- application frame ----
    // The quit confirmation (the 'quit' command and the close box).
    void MyQuit();
    bool CloseWindowHandler();

    // ---- file browser (its rows belong to fileRows) ----
    void GetSystemDisk() { fileRows->GetSystemDisk(); }
    void ExpendFolder(tagFILEITEM* item, int lastRowID) { fileRows->ExpendFolder(item, lastRowID); }
    tagFILEITEM* FindRow(int rowID) const { return fileRows->FindRow(rowID); }
    void OpenRow(tagFILEITEM* item);  // double click

    // ---- placement (the crop tool's; these take the controls' values) ----
    void MyRotateArrowHandler();
    void MyScaleArrowXHandler();
    void MyTranslateArrowXHandler();
    void MyTranslateArrowYHandler();
    void MySuitableSizeCheckBoxHandler();
    void MyPreviewEventHandler(QPainter& p);
    MyRect NormalisedCropRect() const { return cropTool->NormalisedCropRect(); }

    // ---- album workflow ----
    void SetFlashOnline();
    void SetFlashOffline();
    // Starts reading the album into the list and the work files; its end
    // (ReadFinished) says how it went.
    void ReadPicFromFlash();
    // F5 (File menu): reads the attached frame's album again, after asking
    // when the album shown holds changes not yet on the frame.
    void ReadFrameAgain();
    void MyAddButtonHandler();
    bool GetPicDataFromView(MyRect rect, bool batch);
    bool MySelectButtonHandler(const QString& bitmapPath, bool advance);
    // A batch add over (file-browser row, path) pairs in browser order, on
    // the layer's worker.
    void ProcessMorePic(const std::vector<std::pair<int, QString>>& files);
    void MyDelButtonHandler();
    // Deletes every picture (`all`), or the selected ones (with none
    // selected, the last one). The Delete button follows the delete-all
    // box; the Delete key in the list always takes the selection.
    void DeletePictures(bool all);
    // Moves the selected rows one place up (-1) or down (+1) (Alt+Up,
    // Alt+Down), or to stand where row `before` stood (a drag).
    void MoveSelection(int step);
    void MoveRows(const QList<int>& rows, int before);
    // Ctrl+Z; Ctrl+Shift+Z and Ctrl+Y (`redo`).
    void UndoEdit(bool redo);
    // The keyboard shortcuts of the window (F1, and the album list's menu).
    void ShowShortcuts();
    void MyDownLoadButtonHandler();
    // Writes the album to the frame on the layer's worker.
    void TranspotPic();
    void DownloadPictureNotify(int a, long k, long n);
    void MyUpLoadButtonHandler();
    void SelectFileLocation();
    bool SavePicture(const QString& folderUrlPath, bool numbered, int format);
    void SelPicInList(int row);
    // The preview follows the album list's selection: the chosen row
    // (from 0) is shown, nothing when -1.
    void ShowChosenRow(int row);
    void AddPictureFinished();
    void ReleaseAllFiles();
    void CloseResource();
    void MyOpenButtonHandler();
    // Copies a whole regular file; false (with the reason in `why`) leaves
    // the destination as it was.
    static bool copy(const QString& source, const QString& destination, QString* why = nullptr);

    // Waits until the layer's worker has ended its jobs (and hands over
    // what they produced).
    void WaitForTask();
    bool TaskRunning() const;
    // The number of pictures in the album list: the list's own count, so no
    // failure path has a counter to put back.
    int gmyTotalePictureNum() const { return gmyPictureData ? gmyPictureData->count : 0; }

    // ---- the owners of the work ----
    // The placed picture, the crop rectangle, the arrows' values and the
    // preview picture.
    CropTool* const cropTool = new CropTool(this);
    // The file browser's rows.
    FileBrowser* const fileRows = new FileBrowser(this);

    // ---- program-wide state ----
    QMainWindow* gMainWindowRef = nullptr;
    // The frame (device facade, link, discovery), the album as read and
    // added, and the worker that reads, adds and writes it; null until the
    // set-up reached the device connection.
    desktop::FrameAlbum* frame = nullptr;
    QString gmyApppath;
    // This copy's own work folder (see desktop::RunFolder): two copies on two frames
    // never share a work file, and one quitting leaves the other's alone.
    QString gmyResousepath;
    desktop::RunFolder workFolder;
    // The node list of the album, derived from the layer's album model
    // (frame->Album()) after every change of it: never edited on its own.
    // Absent from the frame leaving until the next read.
    FileDataHead* gmyPictureData = nullptr;
    // Names new work files; only an added picture moves it on (never back:
    // a deleted picture's work file stays while its delete can be undone).
    int gmyTotalePicture = 0;
    std::atomic<bool> gmyIsTransferData{false};
    std::atomic<bool> G_isDeviceOnLine{false};
    bool gmyDeleteAll = false;
    int G_CurQuanlity = 90;
    int G_YValue = 4;
    int gmyCurrentSelectItem = 0;  // album row from 1; 0 = none

    // ---- controls (null when the layout lacks them) ----
    AlbumListView* pictList = nullptr;    // 'pict' 0
    // The rows the album list shows: the layer's album model, named by
    // position and with thumbnails; the count and the preview derive from it.
    AlbumRows* albumRows = nullptr;
    // The four arrows controls by CropTool::Arrows: 'rota' 0, 'scal' 1,
    // 'trns' 10 and 'trns' 11.
    std::array<LittleArrows*, 4> arrows{};
    StageView* stageView = nullptr;       // 'mVue' 130
    CropOverlay* rectView = nullptr;      // 'rect' 130
    PictureView* previewView = nullptr;   // 'prev' 0

    // ---- replaceable dialogs (tests answer them without a user) ----
    // The folder chooser of Upload; an empty URL means "cancelled".
    std::function<QUrl()> chooseFolder;
    // The file chooser of Open; an empty path means "cancelled".
    std::function<QString()> chooseOpenFile;
    // Leaves the program (after the quit confirmation).
    std::function<void(int)> exitProgram;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    // Emitted on the main thread after AddPictureFinished has run.
    void pictureFinished();

private:
    template <class T> T* FindControl(const char* signature, int id) const;
    void OnMain(std::function<void()> fn);
    void StartDevice(const StartOptions& options);
    // Says in the status line when a frame is there but another program holds it.
    void ShowFrameInUse(const std::string& message);
    void OnDeviceStatus(bool online);
    // The layer's signals of a read: the frame opened, the end.
    void OnAlbumOpened(const session::OpenResult& opened);
    void ReadFinished(const desktop::ReadOutcome& outcome);
    // The window takes the keyboard back after one of its dialogs closed.
    void TakeKeysBack();
    void RedrawStage();
    void RedrawPreview();
    LittleArrows* ArrowsControl(int which) const;
    void FillPictureList();
    // Rebuilds gmyPictureData from the layer's album model.
    void DerivePictureData();
    // The window's edit actions (menus, album list's menu, shortcuts).
    void CreateEditActions();
    // File ▸ Read the Frame Again (F5).
    void CreateReadAgainAction();
    // The album may be edited now (online, idle, a usable frame).
    bool CanEdit() const;
    // Undo and Redo are offered only when there is a step to take and the
    // album may be edited; the moves only when it may be edited.
    void UpdateEditActions();
    // The words in the empty album list fit the state: how to start while a
    // frame is read, why nothing can be done while there is none or another
    // program holds it.
    void ShowEmptyHint();
    // The note of a refused move goes at the next thing the person does.
    void ClearOrderNote();
    // The window title's marker and the Download button follow whether the
    // album differs from the frame's.
    void ShowModified(bool modified);
    // The status after a write: how many pictures the frame holds, or how
    // many of the new ones reached it.
    void ShowWriteEnd(const session::CommitResult& committed);
    // The end of a write that did not end whole: "N of the M new pictures
    // were written." (empty when it had no new picture to write).
    QString WrittenOfNew() const;
    // After a read that did not list the whole album: what was read can be
    // looked at and saved, the browser and the stage stay usable, but
    // nothing may change the album or write it.
    void KeepAlbumUnchanged();
    // Asks before Upload replaces files of the folder (`names`); Cancel is
    // the default.
    bool AskReplace(const QStringList& names);
    QString DataPath(const QString& name) const;
    QString EdataPath(const QString& name) const;
    // One add as it goes: the work-file number it takes, whether it got
    // past the checks, whether its fitted picture was kept (its quality then
    // carries on), the file it was placed from.
    struct AddState {
        int number = 0;
        bool passed = false;
        bool kept = false;
        QString placed;
        QImage captured;  // shown in the preview once it joined the album
    };
    // How a picture joins the album: with `capture`, the picture is kept as
    // the next work file "PictureN.bmp" and shown in the preview first; the
    // fitted picture is kept in its Edata work file; the row's display
    // bitmap is the work file (or `bitmapPath`).
    desktop::AddSteps AddSteps(bool capture, const QString& bitmapPath, std::shared_ptr<AddState> state);
    // Why the album did not take a picture that got past the checks:
    // "Couldn't Process the picture" and the reason (the album being full
    // says so, with its size).
    QString RefusalText(const session::AddResult& result) const;
    // Adds the picture `picture` (see AddSteps); then the browser moves on
    // when `advance`.
    bool AddPicture(const QImage& picture, bool capture, const QString& bitmapPath, bool advance);
    std::unique_ptr<EventHandlerRef> drawHandler_;
    std::unique_ptr<EventHandlerRef> closeHandler_;
    // The control that had the keyboard focus when the group was disabled;
    // it gets it back when the group is enabled again.
    QPointer<QWidget> focusBeforeDisable_;
    // The keyboard shortcut list, while it is open.
    QPointer<QWidget> shortcutList_;
    // The attached frame's information block cannot be used: the album
    // controls stay off until another frame is read.
    std::atomic<bool> frameUnusable_{false};
    // Another program holds the frame that is there.
    bool frameInUse_ = false;
    // The last read listed the whole album: only then may it be edited and
    // written (main thread).
    bool albumWhole_ = false;
    // The status text of the last write that did not end whole.
    QString writeFailure_;
};

} // namespace kestova::mac
