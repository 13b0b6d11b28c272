#pragma once
// The program-wide state and the handlers of mackestova: the main window and
// its status operations, the file browser, the placement of a picture on the
// stage and the album workflow. One FrontEnd lives for the whole run of the
// program (tests make one per case).
//
// Threads: the window, its controls and the handlers run on the main thread.
// Device work and batch work run on one worker task at a time; a task writes
// the status line, the progress bar and the control group through the status
// operations (which forward to the main thread) and ends by posting the
// program's own event ('draw', 'draw'), whose handler AddPictureFinished
// finishes the work on the main thread.

#include "mac/HIFramework/TEventHandler.h"
#include "mac/AlbumList.h"
#include "mac/CropTool.h"
#include "mac/FileBrowser.h"
#include "mac/Node.h"
#include "mac/WorkFolder.h"
#include "imaging/ProcessPic.h"

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QPointF>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class QMainWindow;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestova {
class CCommUSB;
class DPF;
struct BatchResult;
}
namespace kestova::session {
class FrameSession;
class HotplugDriver;
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
    void SetFlashOnline();   // worker task
    void SetFlashOffline();  // main thread
    // Reads the album into the list and the work files; false (with the
    // reason in `why`) when the frame failed.
    bool ReadPicFromFlash(QString* why = nullptr);
    void MyAddButtonHandler();
    bool GetPicDataFromView(MyRect rect, bool batch);
    bool MySelectButtonHandler(const QString& bitmapPath, bool advance);
    // A batch task over (file-browser row, path) pairs in browser order.
    void ProcessMorePic(const std::vector<std::pair<int, QString>>& files);
    void MyDelButtonHandler();
    void MyDownLoadButtonHandler();
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

    // Waits until the running worker task (if any) has ended.
    void WaitForTask();
    bool TaskRunning() const;

    // ---- the owners of the work ----
    // The placed picture, the crop rectangle, the arrows' values and the
    // preview picture.
    CropTool* const cropTool = new CropTool(this);
    // The file browser's rows.
    FileBrowser* const fileRows = new FileBrowser(this);

    // ---- program-wide state ----
    QMainWindow* gMainWindowRef = nullptr;
    std::unique_ptr<DPF> gDPF;
    // What the album workflow does with the frame (open, fetch and decode,
    // add, write back), on gDPF.
    std::unique_ptr<session::FrameSession> frameSession;
    CCommUSB* device = nullptr;  // owned by gDPF once handed over
    QString gmyApppath;
    // This copy's own work folder (see WorkFolder): two copies on two frames
    // never share a work file, and one quitting leaves the other's alone.
    QString gmyResousepath;
    WorkFolder workFolder;
    FileDataHead* gmyPictureData = nullptr;
    // The number of pictures in the album list: the list's own count, so no
    // failure path has a counter to put back.
    struct ListedCount {
        const FrontEnd* owner;
        operator int() const { return owner->gmyPictureData ? owner->gmyPictureData->count : 0; }
    };
    const ListedCount gmyTotalePictureNum{this};
    // Names new work files; only an added picture moves it on.
    int gmyTotalePicture = 0;
    std::atomic<bool> gmyIsTransferData{false};
    std::atomic<bool> G_isDeviceOnLine{false};
    bool gmyDeleteAll = false;
    int G_CurQuanlity = 90;
    int G_YValue = 4;
    int gmyCurrentSelectItem = 0;  // album row from 1; 0 = none
    bool encoderReady = false;     // MyJPG made (the encoder is stateless)

    // The owners' state under the names the whole program uses.
    std::unique_ptr<MacPicture>& gmyCGimage = cropTool->gmyCGimage;
    QImage& gmyPicPressAddImage = cropTool->gmyPicPressAddImage;
    MyRect& gmyDrawrect = cropTool->gmyDrawrect;
    bool& gmySuitableSize = cropTool->gmySuitableSize;
    int& TheSmallestValue = cropTool->TheSmallestValue;
    int& OldValue = cropTool->OldValue;
    bool& gNeedRefreshRect = cropTool->gNeedRefreshRect;
    std::vector<std::unique_ptr<tagFILEITEM>>& FileItemArray = fileRows->FileItemArray;
    int& gmyCurrentFileRow = fileRows->gmyCurrentFileRow;
    int& firstVolumeRow = fileRows->firstVolumeRow;

    // ---- controls (null when the layout lacks them) ----
    AlbumListView* pictList = nullptr;    // 'pict' 0
    // The rows the album list shows; the count and the preview derive from it.
    AlbumModel* albumModel = nullptr;
    LittleArrows* rotaArrows = nullptr;   // 'rota' 0
    LittleArrows* scalArrows = nullptr;   // 'scal' 1
    LittleArrows* trnsXArrows = nullptr;  // 'trns' 10
    LittleArrows* trnsYArrows = nullptr;  // 'trns' 11
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
    void StartTask(std::function<void()> body);
    void StartDevice(const StartOptions& options);
    // Says in the status line when a frame is there but another program holds it.
    void ShowFrameInUse();
    void OnDeviceStatus(bool online);
    // The window takes the keyboard back after one of its dialogs closed.
    void TakeKeysBack();
    void RedrawStage();
    void RedrawPreview();
    LittleArrows* ArrowsControl(int arrows) const;
    void FillPictureList();
    QString DataPath(const QString& name) const;
    QString EdataPath(const QString& name) const;
    // Puts the bitmap at `bitmapPath` (work file number `number`) into the
    // album; see MySelectButtonHandler.
    // With `prepared`, the picture was fitted on a batch worker already.
    bool AddBitmap(const QString& bitmapPath, int number, bool advance, const BatchResult* prepared);
    // Keeps a captured picture as the next work file, shows it in the
    // preview and adds it (AddBitmap).
    bool AddCapture(const QImage& crop, const BatchResult* prepared, bool advance);
    std::thread task_;
    std::atomic<bool> taskDone_{true};
    std::unique_ptr<EventHandlerRef> drawHandler_;
    std::unique_ptr<EventHandlerRef> closeHandler_;
    // Follows the frame coming and going (after the link's discovery, the
    // status line says who holds a taken frame).
    std::unique_ptr<session::HotplugDriver> hotplug_;
    // The control that had the keyboard focus when the group was disabled;
    // it gets it back when the group is enabled again.
    QPointer<QWidget> focusBeforeDisable_;
    std::string shownInUse_;  // the in-use message last shown
    // The attached frame's information block cannot be used: the album
    // controls stay off until another frame is read.
    std::atomic<bool> frameUnusable_{false};
};

// The commit's progress callback: forwards to the front-end.
void DownloadPictureNotify(int a, long k, long n);

} // namespace kestova::mac
