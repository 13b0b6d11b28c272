// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the mackestova tests: the application object, virtual
// frames with albums on them, test pictures, and a harness that runs the real
// main window against a frame.

#include "desktop/FrameAlbum.h"
#include "mac/FrontEnd.h"

#include <QImage>
#include <QMainWindow>
#include <QToolButton>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QTreeWidgetItem;

namespace kestova::mac::test {

void EnsureApp();

using Bytes = std::vector<uint8_t>;

// A blank frame image (128 x 128, 2 MiB, album at 1 MiB) with `maxPictures`.
void MakeFrame(const std::string& path, int maxPictures = 60, int lcd = 128);
// Puts pictures (device-picture bytes, or any bytes) on the frame and commits.
void SeedAlbum(const std::string& path, const std::vector<Bytes>& pictures);
// The album on the frame, picture by picture.
std::vector<Bytes> ReadAlbum(const std::string& path);

// A picture with four differently coloured quarters and a diagonal, so that
// turns and mirrors show.
QImage QuarterPicture(int width, int height);
// Random noise of the given amplitude around mid grey (deterministic).
QImage NoisePicture(int width, int height, int amplitude, unsigned seed = 7);
// Device-picture bytes of an LCD-size picture at a quality.
Bytes DevicePicture(const QImage& lcdPicture, int quality);
// Mean absolute difference per channel of two same-size pictures.
double MeanDifference(const QImage& a, const QImage& b);

class MacHarness : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the program on `frameArg` (empty: no frame).
    void Start(const std::string& frameArg, std::function<void(QMainWindow*)> editLayout = {});
    bool WaitFor(const std::function<bool()>& pred, int ms = 30000);
    // Waits until `n` worker tasks have been finished on the main thread.
    bool WaitFinished(int n, int ms = 30000);
    // Waits for the start-up read of the attached frame.
    bool WaitOnlineIdle(int ms = 30000);

    template <class T> T* C(const char* name)
    {
        return fe->gMainWindowRef ? fe->gMainWindowRef->findChild<T*>(QString::fromLatin1(name)) : nullptr;
    }
    void Click(const char* name);
    QString Status();
    QString Count();
    QStringList Rows();
    // Clicks row `row` (from 0) of the album list with the mouse.
    void ClickRow(int row);
    // The album list's selected row (from 0), or -1.
    int SelectedRow();
    // Places a picture file on the stage through the Open button.
    void Place(const QString& path);
    // Places a picture and presses Add.
    void AddThroughStage(const QString& path);
    QString SavePng(const QImage& img, const QString& name);
    // Adds `path` as a folder row at the top of the file browser and opens
    // it with the Right key, as a person would; returns its row.
    tagFILEITEM* OpenFolderRow(const QString& path);
    // Clicks the browser row `item` (with Ctrl: adds it to the chosen ones);
    // `twice` double-clicks it.
    void ClickBrowserRow(QTreeWidgetItem* item, Qt::KeyboardModifiers modifiers = {}, bool twice = false);

    QTemporaryDir tmp;
    std::string frame;           // the frame image path
    std::unique_ptr<FrontEnd> fe;
    int finished = 0;
    int exitCode = -1;
    bool started = false;
};

} // namespace kestova::mac::test
