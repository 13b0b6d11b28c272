// The album workflow: the frame coming and going, reading the album, adding
// one picture or a batch, deleting, writing the album to the frame
// ("Download") and saving its pictures into a folder ("Upload").

#include "mac/FrontEnd.h"

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/CommUSB.h"
#include "flash_manager/DPF.h"
#include "imaging/Preparation.h"
#include "mac/HIFramework/TCarbonEvent.h"
#include "mac/StageViews.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QListWidget>
#include <QMainWindow>
#include <QStandardPaths>
#include <QTreeWidget>

#include <cmath>
#include <cstdio>
#include <system_error>

namespace kestova::mac {

namespace {
std::string Local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}
} // namespace

QString FrontEnd::DataPath(const QString& name) const
{
    return gmyResousepath + QStringLiteral("/data/") + name;
}

QString FrontEnd::EdataPath(const QString& name) const
{
    return gmyResousepath + QStringLiteral("/Edata/") + name;
}

// ---------------------------------------------------------------------------
// Worker tasks

void FrontEnd::StartTask(std::function<void()> body)
{
    WaitForTask();
    taskDone_ = false;
    try {
        task_ = std::thread([this, body = std::move(body)] {
            body();
            taskDone_ = true;
        });
    } catch (const std::system_error&) {
        // No task could be started: finish as a task would, so the controls
        // come back.
        std::printf("*********** ERROR Executing Task ***********\n");
        std::fflush(stdout);
        taskDone_ = true;
        PostDrawEvent();
    }
}

void FrontEnd::WaitForTask()
{
    if (task_.joinable())
        task_.join();
}

bool FrontEnd::TaskRunning() const
{
    return !taskDone_;
}

// ---------------------------------------------------------------------------
// Online and offline

void FrontEnd::SetFlashOnline()
{
    {
        std::lock_guard lock(placementMutex);
        gmyCGimage.reset();
        stageLevels_.clear();
        gmyPicPressAddImage = QImage();
    }
    RedrawPreview();
    RedrawStage();
    SetNotes(QStringLiteral("Device Online"));
    G_isDeviceOnLine = true;
    gmyIsTransferData = true;
    gDPF->SynchronizeDPFTime();
    if (!ReadPicFromFlash())
        SetNotes(QStringLiteral("Read picture(s) failed!"));
    PostDrawEvent();
}

bool FrontEnd::ReadPicFromFlash()
{
    SetControlPanlEnable(false);
    FileDataHead* old = gmyPictureData;
    gmyPictureData = CreateList();
    FreeList(old);
    SetNotes(QStringLiteral("Read Picture(s)"));

    try {
        gDPF->ReadDPFInfo();
        gDPF->Read();
        int width = 0, height = 0;
        gDPF->GetLCDParam(width, height);
        {
            std::lock_guard lock(placementMutex);  // the views read the LCD size while painting
            gmyLcdWidth = float(width);
            gmyLcdHeight = float(height);
        }
        CenterDrawRect();
        RedrawStage();

        int count = 0;
        gDPF->GetFileNum(count);
        // Sized in size_t: the LCD size comes from the frame (checked on attach to at most 16 MP).
        const size_t bufferSize = size_t(std::max(0, width)) * size_t(std::max(0, height)) * 3;
        std::vector<uint8_t> buffer(bufferSize, 0);
        std::vector<uint8_t> large;
        int i = 0, n = 0;
        while (i < count) {
            std::fill(buffer.begin(), buffer.end(), 0);
            int length = 0;
            uint8_t* data = buffer.data();
            int ok = gDPF->GetFileAtIndex(i, buffer.data(), int(bufferSize), length);
            if (!ok && length > int(bufferSize)) {
                // A picture longer than the usual buffer gets one of its own
                // length instead of being cut.
                large.assign(size_t(length), 0);
                ok = gDPF->GetFileAtIndex(i, large.data(), length, length);
                data = large.data();
            }
            if (!ok)
                length = 0;  // nothing fetched: the empty file does not decode

            const QString name = QStringLiteral("DPFPicture%1.bmp").arg(n + 1);
            std::FILE* f = std::fopen(Local(EdataPath(name)).c_str(), "wb");
            if (!f)
                break;
            const size_t written = length > 0 ? std::fwrite(data, 1, size_t(length), f) : 0;
            const bool closed = std::fclose(f) == 0;
            const bool stored = closed && written == size_t(std::max(length, 0));

            const bool decoded =
                stored && length > 0 &&
                CKv350Encoder::DeCode(Local(EdataPath(name)), Local(DataPath(name)), width, height);
            if (!decoded) {
                // A picture that does not decode leaves the album; the removal
                // reaches the frame with the next Download.
                gDPF->DeleteFileAt(i);
                --count;
                continue;
            }
            auto* node = new FileData;
            node->bitmapPath = Local(DataPath(name));
            node->name = name.toStdString();
            AddNode(gmyPictureData, node);
            SetNotes(QStringLiteral("Read Picture %1").arg(n));
            ++i;
            ++n;
        }
        SetNotes(n > 0 ? QStringLiteral("Picture(s) In Kestova") : QStringLiteral("No Picture"));
        gmyTotalePictureNum = n;
        gmyTotalePicture = n;
        return true;
    } catch (int code) {
        std::printf("ret in readpic:%d\n", code);
        std::fflush(stdout);
        return false;
    } catch (const std::exception& e) {
        std::printf("ret in readpic:%s\n", e.what());
        std::fflush(stdout);
        return false;
    }
}

void FrontEnd::SetFlashOffline()
{
    // A task still working on the album ends first (the link is gone, so it
    // ends quickly); only then are its list and work files released.
    WaitForTask();
    // What the task still had to show (its last status text, say) comes
    // first, so it cannot overwrite the offline state shown below.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    gmyIsTransferData = false;
    RedrawPreview();
    RedrawStage();
    G_isDeviceOnLine = false;
    ReleaseAllFiles();
    gmyTotalePictureNum = 0;
    gmyTotalePicture = 0;
    SetControlPanlEnable(false);
    SetNotes(QStringLiteral("Device Not Online!"));
}

void FrontEnd::AddPictureFinished()
{
    WaitForTask();
    FillPictureList();
    SetDownLoadPrcess(0);
    SetControlPanlEnable(G_isDeviceOnLine);
    ShowDPFSpace();
    gmyIsTransferData = false;
    if (gMainWindowRef)
        gMainWindowRef->update();
    RedrawStage();
    RedrawPreview();
    emit pictureFinished();
}

void FrontEnd::FillPictureList()
{
    // The rebuilt list shows no selection, so no earlier choice may stay
    // behind it: Delete then takes the last picture, as the list shows.
    gmyCurrentSelectItem = 0;
    if (!pictList)
        return;
    pictList->blockSignals(true);
    pictList->clear();
    if (gmyPictureData)
        for (int i = 1; i <= gmyTotalePictureNum && i <= gmyPictureData->count; ++i)
            pictList->addItem(QString::fromStdString(GetNode(gmyPictureData, i)->name));
    pictList->blockSignals(false);
    pictList->scrollToBottom();
}

// ---------------------------------------------------------------------------
// Adding

void FrontEnd::MyAddButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData)
        return;
    const MyRect rect = NormalisedCropRect();
    if (rect.width == 0 || rect.height == 0)
        return;

    // The files chosen in the most recently opened folder of the browser.
    SelPicArrayRef.clear();
    for (auto it = FileItemArray.rbegin(); it != FileItemArray.rend(); ++it) {
        const tagFILEITEM& row = **it;
        if (!row.isFolder && row.isPicture && row.item && row.item->isSelected())
            SelPicArrayRef.push_back(row.rowID);
        if (row.firstChild)
            break;
    }

    if (SelPicArrayRef.size() > 1) {
        {
            std::lock_guard lock(placementMutex);
            gmyCGimage.reset();
            stageLevels_.clear();
        }
        SetControlPanlEnable(false);
        gmyIsTransferData = true;
        std::vector<std::pair<int, QString>> files;
        for (auto it = SelPicArrayRef.rbegin(); it != SelPicArrayRef.rend(); ++it)
            if (tagFILEITEM* row = FindRow(*it))
                files.emplace_back(row->rowID, row->path);
        StartTask([this, files] { ProcessMorePic(files); });
        return;
    }
    SelPicArrayRef.clear();
    bool placed;
    {
        std::lock_guard lock(placementMutex);
        placed = gmyCGimage != nullptr;
    }
    if (placed)
        GetPicDataFromView(rect, false);
    FillPictureList();
    ShowDPFSpace();
}

bool FrontEnd::GetPicDataFromView(MyRect rect, bool batch)
{
    ++gmyTotalePictureNum;
    ++gmyTotalePicture;
    SetNotes(QStringLiteral("The sequence number: %1").arg(gmyTotalePictureNum));

    const int width = int(gmyLcdWidth);
    const int height = int(gmyLcdHeight);
    QImage crop;
    {
        std::lock_guard lock(placementMutex);
        if (gmyCGimage)
            crop = RenderCropForLcd(DisplayPicture(),
                                    QRectF(rect.x, rect.y, std::fabs(rect.width), std::fabs(rect.height)), width,
                                    height);
    }
    const QString path = DataPath(QStringLiteral("Picture%1.bmp").arg(gmyTotalePicture));
    if (crop.isNull() || !SavePreparedBitmap(crop, path)) {
        SetNotes(QStringLiteral("Couldn't Process the picture"));
        --gmyTotalePictureNum;
        --gmyTotalePicture;
        return false;
    }
    {
        std::lock_guard lock(placementMutex);
        gmyPicPressAddImage = crop;
    }
    RedrawPreview();
    return MySelectButtonHandler(path, !batch);
}

bool FrontEnd::MySelectButtonHandler(const QString& bitmapPath, bool advance)
{
    if (gmyTotalePictureNum > kMaxListedPictures) {
        SetNotes(QStringLiteral("Can't add anymore pictures!"));
        --gmyTotalePictureNum;
        --gmyTotalePicture;
        return false;
    }
    const QString name = QStringLiteral("Picture%1.bmp").arg(gmyTotalePicture);
    const QString source = DataPath(name);
    const QString destination = EdataPath(name);
    auto fail = [this] {
        SetNotes(QStringLiteral("Couldn't Process the picture"));
        --gmyTotalePictureNum;
        --gmyTotalePicture;
        return false;
    };

    // Qualities G_CurQuanlity, -10, -20, ... are tried; the first that fits
    // one slot wins and stays the starting quality of every later picture.
    const int limit = gDPF->GetOnePicSize();
    if (limit < 1)
        return fail();
    const FitResult fit = FitBmpToSlot(Local(source), int(gmyLcdWidth), int(gmyLcdHeight), G_CurQuanlity,
                                       size_t(limit), G_YValue - 1);
    if (!fit.ok())
        return fail();
    if (!WriteWholeFile(Local(destination), fit.bytes.data(), fit.bytes.size()))
        return fail();
    G_CurQuanlity = fit.quality;

    if (!gDPF->AddFile(std::filesystem::path(Local(destination))))
        return fail();

    auto* node = new FileData;
    node->bitmapPath = Local(bitmapPath);
    node->name = name.toStdString();
    if (!AddNode(gmyPictureData, node))
        delete node;

    if (advance && gmyCurrentFileRow != 0) {
        bool after = false;
        for (const auto& row : FileItemArray) {
            if (!after) {
                after = row->rowID == gmyCurrentFileRow;
                continue;
            }
            if (row->isFolder || !QImageReader(row->path).canRead())
                continue;
            gmyCurrentFileRow = row->rowID;
            if (fileBrowser && row->item) {
                fileBrowser->clearSelection();
                row->item->setSelected(true);
                fileBrowser->setCurrentItem(row->item);
                fileBrowser->scrollToItem(row->item);
            }
            SelectOnePicture(row->path, false);
            break;
        }
    }
    return true;
}

void FrontEnd::ProcessMorePic(const std::vector<std::pair<int, QString>>& files)
{
    gmyIsTransferData = true;
    MyRect rect;
    bool first = true;
    for (const auto& [rowID, path] : files) {
        if (!G_isDeviceOnLine || !device || !device->GetUSBDeviceStatus())
            break;
        if (!SelectOnePicture(path, true)) {
            const int id = rowID;
            OnMain([this, id] {
                if (tagFILEITEM* row = FindRow(id))
                    row->isPicture = 0;
            });
            continue;
        }
        if (first) {
            rect = NormalisedCropRect();
            first = false;
        }
        if (!GetPicDataFromView(rect, true))
            break;
    }
    OnMain([this] { SelPicArrayRef.clear(); });
    RedrawStage();
    PostDrawEvent();
}

// ---------------------------------------------------------------------------
// Deleting

void FrontEnd::MyDelButtonHandler()
{
    if (gmyIsTransferData || !gmyPictureData)
        return;
    if (gmyDeleteAll) {
        if (gmyTotalePictureNum >= 1) {
            for (int i = 1; i <= gmyPictureData->count; ++i)
                QFile::remove(QFile::decodeName(GetNode(gmyPictureData, i)->bitmapPath.c_str()));
            FreeList(gmyPictureData);
            gmyPictureData = CreateList();
            gmyTotalePictureNum = 0;
            gmyTotalePicture = 0;
            gmyCurrentSelectItem = 0;
            int count = 0;
            gDPF->GetFileNum(count);
            for (int i = count - 1; i >= 0; --i)
                gDPF->DeleteFileAt(i);
            if (pictList)
                pictList->clear();
        }
    } else if (gmyTotalePictureNum >= 1) {
        int row = gmyCurrentSelectItem >= 1 && gmyCurrentSelectItem <= gmyTotalePictureNum ? gmyCurrentSelectItem
                                                                                            : gmyTotalePictureNum;
        gmyCurrentSelectItem = 0;
        --gmyTotalePictureNum;
        if (FileData* node = DelNode(gmyPictureData, row)) {
            QFile::remove(QFile::decodeName(node->bitmapPath.c_str()));
            delete node;
        }
        gDPF->DeleteFileAt(row - 1);
        FillPictureList();
        if (pictList && pictList->count() > 0)
            pictList->setCurrentRow(pictList->count() - 1);
        else {
            std::lock_guard lock(placementMutex);
            gmyPicPressAddImage = QImage();
        }
        RedrawPreview();
    }
    SetNotes(QStringLiteral("The sequence number: %1").arg(gmyTotalePictureNum));
    ShowDPFSpace();
    if (gMainWindowRef)
        gMainWindowRef->update();
}

// ---------------------------------------------------------------------------
// Download: writing the album to the frame

void FrontEnd::MyDownLoadButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData)
        return;
    SetControlPanlEnable(false);
    gmyIsTransferData = true;
    SetNotes(QStringLiteral("Download Picture(s)"));
    SetDownLoadPrcess(0);
    StartTask([this] { TranspotPic(); });
}

void FrontEnd::TranspotPic()
{
    try {
        gDPF->Update();
        SetNotes(QStringLiteral("DownLoad Finished"));
    } catch (int code) {
        gmyIsTransferData = false;
        SetNotes(QStringLiteral("Fail To Download Picture"));
        std::printf("ret:%d\n", code);
        std::fflush(stdout);
    } catch (const std::exception& e) {
        gmyIsTransferData = false;
        SetNotes(QStringLiteral("Fail To Download Picture"));
        std::printf("ret:%s\n", e.what());
        std::fflush(stdout);
    }
    PostDrawEvent();
}

void FrontEnd::DownloadPictureNotify(int, long k, long n)
{
    SetDownLoadPrcess(n > 0 ? int(k * 100 / n) : 0);
}

void DownloadPictureNotify(int a, long k, long n)
{
    if (FrontEnd* f = FrontEnd::Instance())
        f->DownloadPictureNotify(a, k, n);
}

// ---------------------------------------------------------------------------
// Upload: saving the album's pictures into a folder

void FrontEnd::MyUpLoadButtonHandler()
{
    if (!G_isDeviceOnLine || gmyIsTransferData)
        return;
    if (gmyTotalePictureNum == 0) {
        SetNotes(QStringLiteral("No Pictures "));
        return;
    }
    SelectFileLocation();
}

void FrontEnd::SelectFileLocation()
{
    QUrl folder;
    if (chooseFolder) {
        folder = chooseFolder();
    } else {
        QFileDialog dialog(gMainWindowRef, QStringLiteral("Select File Location"),
                           QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedUrls().isEmpty())
            folder = dialog.selectedUrls().constFirst();
    }
    if (folder.isEmpty())
        return;
    if (!folder.isLocalFile()) {
        std::fprintf(stderr, "CFURLCreateFromFSRef failed\n");
        return;
    }
    const QString path = folder.path(QUrl::FullyEncoded);
    if (path.isEmpty()) {
        std::fprintf(stderr, "CFURLCopyFileSystemPath failed\n");
        return;
    }
    SavePicture(path, true, 1);
}

bool FrontEnd::SavePicture(const QString& folderUrlPath, bool numbered, int format)
{
    if (!gmyPictureData)
        return false;
    bool allSaved = true;
    for (int i = 1; i <= gmyTotalePictureNum && i <= gmyPictureData->count; ++i) {
        const FileData* node = GetNode(gmyPictureData, i);
        QString name = numbered ? QStringLiteral("/%1.%2").arg(i).arg(format == 2 ? "jpg" : "bmp")
                                : QStringLiteral("/") + QString::fromStdString(node->name);
        // The folder comes as a URL path: every %XX escape stands for a byte.
        const QByteArray encoded = (folderUrlPath + name).toUtf8();
        const QString destination = QString::fromUtf8(QByteArray::fromPercentEncoding(encoded));
        const QString source = QFile::decodeName(node->bitmapPath.c_str());
        bool ok;
        if (format == 2)
            ok = CKv350Encoder::EnCode(Local(source), Local(destination), int(gmyLcdWidth), int(gmyLcdHeight), 100,
                                       G_YValue - 1, 1) > 0;
        else
            ok = copy(source, destination);
        allSaved = allSaved && ok;
    }
    if (!allSaved)
        SetNotes(QStringLiteral("Couldn't save the picture(s)"));
    return allSaved;
}

bool FrontEnd::copy(const QString& source, const QString& destination)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = in.readAll();
    return out.write(bytes) == bytes.size() && out.flush();
}

// ---------------------------------------------------------------------------
// The album list and the preview

void FrontEnd::SelPicInList(int row)
{
    if (!gmyPictureData || row < 1 || row > gmyPictureData->count)
        return;
    gmyCurrentSelectItem = row;
    const FileData* node = GetNode(gmyPictureData, row);
    QImage picture(DataPath(QString::fromStdString(node->name)));
    {
        std::lock_guard lock(placementMutex);
        gmyPicPressAddImage = picture;
    }
    RedrawPreview();
}

void FrontEnd::MyOpenButtonHandler()
{
    if (gmyIsTransferData)
        return;
    QString path;
    if (chooseOpenFile)
        path = chooseOpenFile();
    else
        path = QFileDialog::getOpenFileName(
            gMainWindowRef, QStringLiteral("Open"), QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
            QStringLiteral("Pictures (*.jpg *.jpeg *.png *.gif *.bmp *.tif *.tiff);;All files (*)"));
    if (path.isEmpty())
        return;
    gmyCurrentFileRow = 0;
    SelectOnePicture(path, false);
}

// ---------------------------------------------------------------------------
// Releasing

void FrontEnd::ReleaseAllFiles()
{
    {
        std::lock_guard lock(placementMutex);
        gmyCGimage.reset();
        stageLevels_.clear();
        gmyPicPressAddImage = QImage();
    }
    if (gmyPictureData) {
        for (int i = 1; i <= gmyPictureData->count; ++i) {
            const FileData* node = GetNode(gmyPictureData, i);
            QFile::remove(QFile::decodeName(node->bitmapPath.c_str()));
            QFile::remove(EdataPath(QString::fromStdString(node->name)));
        }
        FreeList(gmyPictureData);
        gmyPictureData = nullptr;
    }
    // Work files of pictures that left the list earlier (deleted, or not
    // decodable) go as well.
    if (!gmyResousepath.isEmpty()) {
        for (const char* sub : {"/data", "/Edata"}) {
            QDir dir(gmyResousepath + QLatin1String(sub));
            for (const QString& f : dir.entryList({QStringLiteral("*.bmp")}, QDir::Files))
                dir.remove(f);
        }
    }
    gmyTotalePictureNum = 0;
    gmyTotalePicture = 0;
    gmyCurrentSelectItem = 0;
    if (pictList)
        pictList->clear();
    RedrawStage();
    RedrawPreview();
}

void FrontEnd::CloseResource()
{
    if (fileBrowser)
        fileBrowser->clear();
    FileItemArray.clear();
    gmyCurrentFileRow = 0;
    MyDocumentIcon = QIcon();
    encoderReady = false;
    ReleaseAllFiles();
}

} // namespace kestova::mac
