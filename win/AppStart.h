// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start-up pieces of kestova that come before the main window: where the
// program's own files are, the user's private folders, copies that are always
// writable, and the one-instance-per-session rule.

#include "device/virtual/VirtualFrameSource.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QLockFile;
class QWidget;

namespace kestova::win {

// How a message box is asked; the answer is a QMessageBox::StandardButton.
// BmpJpegCancel: Yes, No and Cancel whose first two read "BMP" and "JPEG".
// YesNoDefaultNo: a question whose Yes loses work, so Return alone answers No.
// WaitStopCancel: Ok waits (the default), Yes stops, Cancel stays.
enum class BoxButtons { Ok, YesNo, YesNoDefaultNo, YesNoCancel, BmpJpegCancel, WaitStopCancel };
using MessageBoxFn = std::function<int(QWidget* parent, const QString& caption, const QString& text, BoxButtons)>;

struct StartOptions {
    // Folder holding the factory StartInfoUnicode.ini and LanguageUnicode.ini;
    // empty: the executable's folder, or ../share/kestova beside it.
    QString programFolder;
    // A virtual frame "PATH[,key=value...]" (also KESTOVA_FRAME).
    std::string frameArg;
    // Look for the machine's own frames (off in tests).
    bool scanMachine = true;
    // Milliseconds between checks of a frame that cannot announce its leaving;
    // 0 keeps the link's own interval.
    int pollIntervalMs = 0;
    // Screen size and colour depth as the window sees them; empty/0: the
    // primary screen's (tests set them).
    QSize screenSize;
    int displayDepth = 0;
    // Message boxes (tests answer them); empty: QMessageBox.
    MessageBoxFn messageBox;
    // Files named on the command line.
    QStringList files;
    // The file-save dialog of Save (one entry) and the folder browser of a
    // multi-entry Save and Save all (tests answer them); empty: QFileDialog.
    // An empty answer is Cancel.
    std::function<QString(QWidget* parent, const QString& filter)> saveFileDialog;
    std::function<QString(QWidget* parent, const QString& title)> folderDialog;
    // Opens the virtual frame for the link (tests: a frame that leaves and
    // comes back); empty: the frame argument is opened as it is.
    VirtualFrameOpener frameOpener;
};

// The folder of the factory ini files: the executable's own folder when it
// holds one of them (build tree), else ../share/kestova (installed).
QString FindProgramFolder(const QString& executableDir);

// Creates `path` (and its parents) and gives it mode 0700. False when it
// cannot be created or written.
bool MakePrivateFolder(const QString& path);

// Copies `from` over `to` through a new file renamed into place, and makes
// the copy an ordinary writable file (0600) even when the source is
// read-only. False (and `to` untouched) when the source is missing or the
// copy fails.
bool CopyOver(const QString& from, const QString& to);

// Makes an existing file an ordinary writable file of its owner.
void MakeNormal(const QString& path);

// One kestova per frame in a user session. The server socket lives in the user's
// runtime folder (XDG_RUNTIME_DIR), else the user's cache folder: both are
// private, so no other user can plant or take it.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The socket of the instance on the virtual frame `frameArg` ("PATH[,...]",
    // the same image however named), or on the plugged-in frame when empty.
    static QString DefaultSocketPath(const std::string& frameArg);

    // Claims the instance (a lock file beside the socket, held until this
    // object goes) and starts listening (removing a socket left by a crashed
    // instance), returning false. When another instance holds the claim,
    // hands it `files` (absolute paths) and returns true: this start should
    // end with 0.
    // A start whose files the holder did not take (a list over 1 MiB, or no
    // "ok") also ends, with the reason in `refusal`.
    bool HandOverOrListen(const QStringList& files, QString* refusal = nullptr);
    bool IsListening() const;
    QString SocketPath() const { return socketPath_; }

signals:
    // Another start asked for the window; `files` are its command-line files.
    void activated(const QStringList& files);

private:
    enum class HandOverResult { Handed, NoAnswer, TooLong, NotTaken };
    HandOverResult HandOver(const QStringList& files) const;

    QString socketPath_;
    QLocalServer* server_ = nullptr;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace kestova::win
