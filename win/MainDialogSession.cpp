// The frame session of kestova's main window: plug and pull, the start of a
// read, the finish messages of the workers, Exit, and the album and preview
// commands.
//
// What is here needs no device I/O beyond attaching: the state flags, the
// status texts, the guards of each command and the Exit questions. The
// workers (album reader, album writer, batch adder) and the export are not
// part of this file yet: StartReadAlbum ends a read at once with
// "FinishThread" 0, and the album commands stop after their guards. Each
// such place is marked "Frame work:".

#include "win/MainDialog.h"

#include "flash_manager/DPF.h"
#include "win/Messages.h"

#include "win/widgets/AlbumList.h"
#include "win/widgets/FolderTree.h"
#include "win/widgets/Preview.h"
#include "win/widgets/SettingDialog.h"
#include "win/widgets/TextProgressCtrl.h"

#include <QMessageBox>
#include <QPushButton>

namespace kestova::win {

void CMainDialog::OnDeviceChange(bool attached)
{
    if (attached) {
        cachePaths_.clear();
        pendingFiles_.clear();
        lang_.Reload();
        lang_.CountLanguages();
        SetStatusText(LookupText(QStringLiteral("DEVICEON_TIPS"), QStringLiteral("DPF Connected!")));
        m_connected = true;
        EnableControls(false);
        ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
        albumList_->RemoveAll();
        ShowConnectionBitmap(true);
        if (preview_)
            preview_->ClearPicture();
        tree_->clearSelection();
        PostRegisteredMessage(this, QString::fromLatin1(kMsgDpfAttach));
        return;
    }
    m_connected = false;
    flashSizeKB_ = 0;
    SetStatusText(LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
    ShowConnectionBitmap(false);
    UpdateCounters();
    SetStatusText(LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
    albumList_->RemoveAll();
    EnableControls(false);
    m_reading = false;
    m_albumModified = false;
    if (preview_)
        preview_->ClearPicture();
    SetProgress(0);
    if (progressCtrl_ == QLatin1String("OFF") && progress_)
        progress_->hide();
}

void CMainDialog::OnDpfAttach()
{
    m_connected = true;
    EnableControls(false);
    StartReadAlbum();
}

void CMainDialog::StartReadAlbum()
{
    // Frame work: the album reader (information block, clock, LCD size,
    // album index, one cache bitmap per picture) runs here on a worker and
    // ends with "FinishThread". Until it exists the read ends at once.
    m_reading = true;
    PostRegisteredMessage(this, QString::fromLatin1(kMsgFinishThread), 0);
}

void CMainDialog::OnFinishThread(int code)
{
    UpdateCounters();
    m_reading = false;
    SetProgress(0);
    if (m_connected) {
        if (code == 4)
            Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
        EnableControls(true);
    }
}

void CMainDialog::OnDownloadFinished(int code)
{
    if (m_connected)
        EnableControls(true);
    UpdateCounters();
    m_reading = m_downloading = m_albumModified = false;
    EnableControls(true);
    SetProgress(0);
    if (code != 0)
        Box(LookupText(QStringLiteral("DOWNLOADFAIL_TIPS"),
                       QStringLiteral("Download pics failed!If you donot pull out the USB cable, please change an "
                                      "USB port or USB cable and try again!")));
    if (m_quitRequested) {
        ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
        closing_ = true;
        close();
    }
}

void CMainDialog::OnReceivePic()
{
    // Frame work: the batch adder runs here on a worker and ends with
    // "ProcessFinish".
}

void CMainDialog::OnProcessFinish(int result)
{
    UpdateCounters();
    m_albumModified = true;
    if (result == 1)
        Box(LookupText(QStringLiteral("MEMFULL_TIPS_1"),
                       QStringLiteral("The maximum number of images has been reached.  Delete some images before "
                                      "adding any more.")));
    EnableControls(true);
}

void CMainDialog::OnExit()
{
    if (m_processing)
        return;
    if (m_reading) {
        Box(LookupText(QStringLiteral("SENDING_TIPS"),
                       QStringLiteral("Sending data, Please operate after sending finished!")));
    } else if (m_downloading) {
        if (Box(LookupText(QStringLiteral("STOP_TIPS_1"), QStringLiteral("Stop download and quit?")),
                BoxButtons::YesNo) != QMessageBox::Yes)
            return;
        m_quitRequested = true;
        if (dpf_)
            dpf_->RequestStop();
        SetStatusText(LookupText(QStringLiteral("STOPDOWNLOAD_TIPS"), QStringLiteral("Stopping……")));
        return;
    } else {
        const QString question =
            m_albumModified
                ? LookupText(QStringLiteral("EXIT_TIPS_1"),
                             QStringLiteral("The pictures in the Preview Album are not synchronized with the Watch. "
                                            "Do you really want to quit (and NOT download)?"))
                : LookupText(QStringLiteral("EXIT_TIPS_2"), QStringLiteral("Really want to quit?"));
        if (Box(question, BoxButtons::YesNo) != QMessageBox::Yes)
            return;
    }
    ClearCacheDirectory(cacheDirectory_, QStringLiteral("*.bmp"));
    pendingFiles_.clear();
    cachePaths_.clear();
    closing_ = true;
    close();
}

void CMainDialog::OnSynchronize()
{
    // An unchanged album is not written.
    if (m_processing || !m_albumModified)
        return;
    // Frame work: the album writer starts here.
}

void CMainDialog::OnDelete()
{
    if (!albumList_ || albumList_->selectedItems().isEmpty()) {
        Box(LookupText(QStringLiteral("DELETE_TIPS_1"),
                       QStringLiteral("Please select at least a pic before you delete it!")));
        return;
    }
    // Frame work: the question, then removal from the album and the cache.
}

void CMainDialog::OnSelectAll()
{
    if (m_processing || !albumList_)
        return;
    albumList_->setFocus();
    albumList_->selectAll();
}

void CMainDialog::OnAdd()
{
    // Frame work: the single add from the preview and the batch add.
}

void CMainDialog::OnRotate(bool clockwise)
{
    if (preview_)
        preview_->Rotate(clockwise ? 0 : 1, 90);
}

void CMainDialog::OnZoom(int step)
{
    // Zoom acts on the picture under the crop rectangle only.
    if (preview_ && rectMode_)
        preview_->Zoom(step);
}

void CMainDialog::OnRectMode()
{
    if (!preview_ || !preview_->HasPicture())
        return;
    rectMode_ = !rectMode_;
    preview_->SetRectMode(rectMode_);
    if (QPushButton* rect = Button(IDC_BUTTON_RECT)) {
        rect->setText(rectMode_ ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECT"), QStringLiteral("Clear"))
                                : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECT"), QStringLiteral("Rect")));
        rect->setToolTip(rectMode_
                             ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECTTIPS"), QStringLiteral("Clear Rect"))
                             : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECTTIPS"), QStringLiteral("Draw Rect")));
    }
}

void CMainDialog::OnBrowserSelection()
{
    const QList<QListWidgetItem*> selected = browserList_->selectedItems();
    const bool one = selected.size() == 1;
    if (one) {
        multiSelection_ = false;
        const QString path = tree_->CurrentFolderPath() + selected.first()->text();
        if (!preview_->LoadPicture(path))
            Box(LookupText(QStringLiteral("PICDESTROY_TIPS"), QStringLiteral("The picture is destroyed!")));
    } else if (selected.size() > 1) {
        multiSelection_ = true;
    }
    if (selected.isEmpty())
        return;
    for (int id : {IDC_BUTTON_CHANGE_L, IDC_BUTTON_CHANGE, IDC_BUTTON_ZOOMIN, IDC_BUTTON_ZOOMOUT})
        if (QWidget* w = controls_.value(id))
            w->setEnabled(one);
}

void CMainDialog::OnAddFromTree(const QString& path)
{
    // Frame work: the picture is added with the automatic advance off. Until
    // then it is shown in the preview, ready for Add.
    if (preview_)
        preview_->LoadPicture(path);
}

void CMainDialog::OnSave()
{
    if (m_processing)
        return;
    if (!albumList_ || albumList_->selectedItems().isEmpty()) {
        Box(LookupText(QStringLiteral("SAVE_TIPS_1"), QStringLiteral("You should select one pic at least!")));
        return;
    }
    // Frame work: export of the selected pictures.
}

void CMainDialog::OnSaveAll()
{
    // Frame work: export of every picture.
}

void CMainDialog::OnSetting()
{
    if (settingDialog_)
        return;
    auto* dialog = new CSettingDialog(textColour_, backgroundColour_, this);
    dialog->setObjectName(QStringLiteral("settingDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->ApplyTexts([this](const QString& key, const QString& fallback) { return LookupText(key, fallback); });
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        textColour_ = dialog->TextColour();
        backgroundColour_ = dialog->BackgroundColour();
        // Frame work: the two colours go to the frame (RGB565) here.
        if (QWidget* b = controls_.value(IDC_BTN_SETTING))
            b->setFocus();
    });
    settingDialog_ = dialog;
    dialog->open();
}

} // namespace kestova::win
