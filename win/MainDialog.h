// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// CMainDialog: the one window of kestova. Folder tree and thumbnail list of
// the picture browser, the preview with its crop rectangle, the album list
// and its buttons, the counter label, the progress bar, the frame-state
// picture, a two-part status bar, tooltips, the context menu with the
// language submenu, and the About box.
//
// Every control carries its template identifier as object name "ctl<id>"
// (ctl1005 is the album list, ctl2 the Exit button, ctl123 the preview,
// ctl1013 the status bar).
//
// Start-up (OnInitDialog) follows a fixed order: program folder and factory
// settings, the user's copies of the two ini files, languages and the
// context menu, the working settings and the language, the cache folder,
// status bar and accelerators, display check, device facade, the language
// applied to every caption, and the start-up device check.
//
// Frame work (reading the album, Synchronize, adding, deleting, export) is
// done by the desktop album layer (desktop::FrameAlbum): the session
// handlers in MainDialogSession.cpp are thin slots over it, reached through
// the command routing, the layer's signals and the registered messages
// (Messages.h). The cache folder and the staging file belong to CacheFolder.

#include "win/AppStart.h"
#include "win/CacheFolder.h"
#include "win/Localisation.h"

#include <QColor>
#include <QDialog>
#include <QHash>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QStringList>

#include <memory>
#include <string>

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QDragMoveEvent;
class QLabel;
class QMenu;
class QPushButton;

namespace kestova {
class DPF;
enum class PictureError;
namespace session {
struct OpenResult;
}
namespace desktop {
class FrameAlbum;
struct AddSteps;
struct ReadOutcome;
enum class Job;
} // namespace desktop
} // namespace kestova

namespace kestova::win {

class CAlbumList;
class CBrowserList;
class CPictureFolderTree;
class CPreview;
class CSettingDialog;
class CTextProgressCtrl;
class RegisteredMessage;
class StatusBar;

// Control identifiers of the dialog template.
enum ControlId : int {
    IDC_EXIT = 2,
    IDC_PREVIEW = 123,
    IDC_BUTTON_SEND = 1001,
    IDC_BUTTON_ZOOMIN = 1004,
    IDC_LIST_ALBUM = 1005,
    IDC_BUTTON_DELECT = 1006,
    IDC_BUTTON_ZOOMOUT = 1008,
    IDC_BUTTON_SELECTALL = 1009,
    IDC_BUTTON_CHANGE = 1011,
    IDC_BUTTON_RECT = 1012,
    IDC_STATUSBAR = 1013,
    IDC_STATIC_COUNTER = 1017,
    IDC_BTN_ADDTODPF = 1019,
    IDC_STATIC_PREVIEW = 1020,
    IDC_BUTTON_CHANGE_L = 1023,
    IDC_TREE_FOLDER = 1025,
    IDC_PROGRESS = 1027,
    IDC_BUTTON_SAVE = 1033,
    IDC_BUTTON_SAVEALL = 1034,
    IDC_STATE_PICTURE = 1039,
    IDC_STATIC_PICSINDPF = 1042,
    IDC_BTN_SETTING = 1048,
    IDC_STATIC_JPGQUALITY = 1067,
    IDC_SLIDER_QUALITY = 1069,
    IDC_LIST_BROWSER = 1073,
};
inline constexpr int kAboutCommand = 16;
inline constexpr int kFirstLanguageCommand = 9002;
inline constexpr int kLastLanguageCommand = 9102;

class CMainDialog : public QDialog {
    Q_OBJECT
public:
    explicit CMainDialog(StartOptions options, QWidget* parent = nullptr);
    ~CMainDialog() override;

    // Runs the start-up in order. False: the program ends now with
    // ExitCode() (no frame at start, too few colours).
    bool OnInitDialog();
    int ExitCode() const { return exitCode_; }

    // ---- texts and languages ----
    QString LookupText(const QString& key, const QString& fallback) const { return lang_.LookupText(key, fallback); }
    const Localisation& Language() const { return lang_; }
    // Command 9002 + index: the language switch.
    void SwitchLanguage(int command);
    QMenu* ContextMenu() const { return menus_.context; }
    QMenu* LanguageMenu() const { return menus_.language; }
    QAction* AboutAction() const { return menus_.about; }
    // "Read the frame again" (F5): the context menu's item.
    QAction* ReadAgainAction() const { return menus_.readAgain; }

    // ---- commands and state ----
    // Every command of a button, accelerator or menu goes through here.
    void OnCommand(int id);
    void EnableControls(bool enable);
    // After a read that did not list the whole album: only what works on the
    // pictures listed (Save, Save all, All, the album list, the preview)
    // and the picture browser.
    void EnableAfterCutRead();
    // Reads the frame's album afresh (after a failed read, or to drop edits
    // not on the frame, which it asks about first).
    void OnReadAgain();
    void SetStatusText(const QString& text);
    QString StatusText() const;
    QString StatusLeftText() const;
    void UpdateCounters();
    void ShowConnectionBitmap(bool attached);
    void SetProgress(int percent);
    QWidget* Control(int id) const { return controls_.value(id); }
    bool LaidOut() const { return opening_.laidOut; }
    bool IsConnected() const { return m_connected; }
    bool SettingsKept() const { return files_.settingsKept; }
    const QStringList& HandedOverFiles() const { return handedOverFiles_; }
    // Files handed over by a second start (and the command line's own):
    // added as a drop of those items once the album has been read.
    void ReceiveHandedFiles(const QStringList& files);

    // ---- album ----
    // One cache bitmap per album entry, in album order.
    QStringList CachePaths() const;
    bool IsReading() const { return m_reading; }
    bool IsDownloading() const { return m_downloading; }
    bool IsProcessing() const { return m_processing; }
    bool AlbumModified() const { return m_albumModified; }
    bool ProgressVisible() const;
    int ProgressPos() const;
    // Why a dropped, handed-over or command-line file is not added (a FIFO,
    // a device, unreadable, not a picture the loader reads); empty when it is
    // added.
    // The picture loader's reason, in words of the window's language.
    // Names in the status bar the files left out of the last drop or batch.
    void ShowSkipped();
    QString PictureErrorText(PictureError error) const;
    // Says in the status bar why the preview shows nothing of `path`.
    void ShowWhyNotShown(const QString& path);
    QString WhyNotTaken(const QString& path) const;
    // The picture names a folder scan accepts.
    static bool FolderEntryAccepted(const QString& name);

    // ---- files ----
    const QString& ProgramFolder() const { return files_.programFolder; }
    const QString& WorkingSettingsPath() const { return files_.workingSettings; }
    QString TempSettingsPath() const;
    QString TempLanguagePath() const;
    const QString& CacheDirectory() const { return cache_.Directory(); }
    const QString& StagingPath() const { return cache_.StagingPath(); }
    int JpgQuality() const { return settings_.jpgQuality; }
    DPF* Facade() const;
    // The frame's text and background colours as the Settings dialog last
    // left them (24-bit).
    QColor FrameTextColour() const { return textColour_; }
    QColor FrameBackgroundColour() const { return backgroundColour_; }

    // Profile access: the program folder's StartInfoUnicode.ini (read only)
    // and the working copy.
    int ReadFactoryInt(const QString& key, int fallback = 0) const;
    QString ReadFactoryString(const QString& key, const QString& fallback) const;
    int ReadWorkingInt(const QString& key, int fallback) const;
    QString ReadTempString(const QString& key, const QString& fallback) const;
    void WriteWorkingString(const QString& key, const QString& value);

signals:
    void commandRouted(int id);
    void filesHandedOver(const QStringList& files);
    void laidOutChanged();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    struct ControlSpec;
    static const ControlSpec kControls[];

    void CreateControls();
    void CreateAccelerators();
    void ChooseFolders();
    void BuildLanguageMenu();
    void ChooseWorkingCopyAndLanguage();
    void RelabelWindow();
    void SetupTooltips();
    void StartAnimation();
    void AnimationTick();
    void Layout();
    QSize ScreenSize() const;
    // The album list's width once laid out on this screen.
    int AlbumListWidth() const;
    void ShowContextMenu(const QPoint& globalPos);
    void ShowKeyHelp();
    // A key as the window names it, and a tooltip with its key.
    QString KeyText(QKeyCombination keys) const;
    QString TipWithKey(const QString& tip, const QString& keys) const;
    QString RectTip() const;
    void ShowAbout();
    void SetWindowTitleFrom(const QString& titleName);
    int Box(const QString& text, BoxButtons buttons = BoxButtons::Ok, const QString& caption = QString());
    // The window takes the keyboard back after one of its dialogs closed.
    void TakeKeysBack();
    // Starts what waited for the worker that just ended (a read, dropped files).
    void ContinueWithWaitingWork();
    QPushButton* Button(int id) const;

    // Device facade and discovery.
    void CreateFacade();
    // Shows in the status bar who holds a frame that the link sees taken.
    void ShowFrameInUse(const std::string& message);
    QString FrameInUseText() const;
    bool StartUpDeviceCheck();
    void HandleRegisteredMessage(const RegisteredMessage& m);

    // Session handlers (MainDialogSession.cpp).
    void OnDeviceChange(bool attached);
    void OnDpfAttach();
    void StartReadAlbum();
    // The layer's signals of a read: the frame opened, a row listed, the end.
    void OnAlbumOpened(const session::OpenResult& opened);
    void OnPictureListed(int row);
    void OnProgress(desktop::Job job, int done, int total);
    void OnReadFinished(const desktop::ReadOutcome& outcome);
    void OnFinishThread(int code);
    void OnDownloadFinished(int code);
    void OnReceivePic();
    void OnProcessFinish(int result);
    void OnExit();
    void OnSynchronize();
    void OnDelete();
    // Album edits: moves asked by keys or a drag, undo and redo, and the
    // list following the album's rows whichever edit changed them.
    void OnMoveSelection(int step);
    void OnMoveRows(const QList<int>& rows, int before);
    void OnUndo(bool redo);
    void OnAlbumModified(bool modified);
    void FollowAlbumRows();
    // After a write: how many pictures the frame holds, or how far it got.
    void ShowWriteEnd();
    // The status text of the last write that did not end whole (kept when
    // the frame then leaves).
    QString writeFailureShown_;
    // "N of the M new pictures were written." of the last write.
    QString WrittenOfNewText() const;
    QString UnwrittenText() const;
    void OnSelectAll();
    void OnAdd();
    void OnRotate(bool clockwise);
    void OnZoom(int step);
    void OnRectMode();
    void OnSave();
    void OnSaveAll();
    void OnSetting();
    void OnBrowserSelection();
    void OnAddFromTree(const QString& path);
    void OnAlbumSelection();
    void DropItems(const QStringList& paths);
    // How every add keeps its files: the fitted picture in the staging file,
    // what the frame will show as the entry's cache bitmap.
    desktop::AddSteps AddSteps() const;
    // Fits a prepared picture (LCD size) into one slot starting at the
    // "JpgQuality" and adds it to the album: 0 added, 1 not added.
    int AddPreparedPicture(const QImage& prepared);
    void MoveToNextThumbnail();
    void ReportFailure(const QString& what, const QString& why);
    bool ExportOne(int entry, const QString& target, bool bmp, int quality, int mode);
    bool ExportRun(const QList<int>& entries, bool saveAll);
    // After a modal dialog: the album the rows were chosen from is still the
    // one shown (else says the pictures cannot be saved).
    bool AlbumStillShown(quint64 generation);

    StartOptions options_;
    Localisation lang_;
    int exitCode_ = 0;

    // The profile files: the factory settings in the program folder and the
    // user's working copy.
    struct ProgramFiles {
        QString programFolder;
        QString factorySettings;
        QString configDir;
        QString workingSettings;
        bool settingsKept = true;  // the working copy can be written
    } files_;
    CacheFolder cache_;

    // What the settings and the frame say about the window.
    struct WindowSettings {
        int jpgQuality = 90;
        QString titleName = QStringLiteral("Kestova");
        QString windowTitle;
        QString progressCtrl = QStringLiteral("ON");
        QString corpLink;
        QString firmwareVer;
        QString aboutText;
    } settings_;

    // Connection state.
    bool m_connected = false;
    bool m_reading = false;
    bool m_downloading = false;
    bool m_processing = false;
    bool m_albumModified = false;
    bool m_quitRequested = false;
    bool stopRequested_ = false;  // the quit asked the write to stop
    // The question Exit asks while the album is written, while it is open.
    QPointer<QMessageBox> quitQuestion_;
    // Files a drop or a batch left out, each with why, said when it ends.
    QStringList skippedNames_;
    int readAttempts_ = 1;  // reads of this visit of the frame, F5 included
    QString writeFailure_;  // the status the last failed write left, with its reason
    bool m_addingSingle = false;
    bool m_autoAdvance = true;
    // The last read listed the whole album. After a read cut off midway the
    // list holds fewer entries than the album, so list row and album index
    // no longer name the same picture: nothing is added, deleted or written
    // until the frame is read again.
    bool albumShownWhole_ = false;
    QStringList filesAfterRead_;  // command-line and handed-over files, added after the read
    bool rectMode_ = true;
    bool closing_ = false;
    int flashSizeKB_ = 0;
    QStringList pendingFiles_;  // pictures the batch adder will add
    QStringList handedOverFiles_;

    // The frame, the album as listed (one cache bitmap per entry) and the
    // worker that reads, adds and writes it.
    std::unique_ptr<desktop::FrameAlbum> frame_;

    // Controls.
    QHash<int, QWidget*> controls_;
    CPictureFolderTree* tree_ = nullptr;
    CBrowserList* browserList_ = nullptr;
    CAlbumList* albumList_ = nullptr;
    CPreview* preview_ = nullptr;
    CTextProgressCtrl* progress_ = nullptr;
    QPointer<CSettingDialog> settingDialog_;
    QColor textColour_ = QColor(0, 0, 0);
    QColor backgroundColour_ = QColor(255, 255, 255);
    bool multiSelection_ = false;  // more than one browser picture selected
    QLabel* counter_ = nullptr;
    QLabel* statePicture_ = nullptr;
    StatusBar* statusBar_ = nullptr;
    // The context menu with its language submenu, and the About box.
    struct Menus {
        QMenu* context = nullptr;
        QMenu* language = nullptr;
        QAction* languageItem = nullptr;
        QAction* about = nullptr;
        QAction* readAgain = nullptr;
        QAction* keyHelp = nullptr;
        QList<QAction*> languages;
        QPointer<QDialog> aboutBox;
        QPointer<QDialog> keyHelpBox;
    } menus_;

    // Opening animation and layout.
    struct Opening {
        int timer = 0;
        QSize fullSize;
        int stepW = 10;
        int stepH = 15;
        bool layoutPending = false;
        bool laidOut = false;
    } opening_;
};

} // namespace kestova::win
