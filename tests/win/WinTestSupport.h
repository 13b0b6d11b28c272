// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the kestova tests: a program folder with the shipped (or
// edited) ini files, private XDG folders per test, a virtual frame, and a
// harness that starts the real main window with message boxes answered.

#include "win/MainDialog.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestova::win::test {

void EnsureApp();

// Reads a whole text file (UTF-8 or UTF-16LE with a mark).
QString ReadText(const QString& path);
void WriteText(const QString& path, const QString& text, bool utf16 = false);

// A language file: sections of key=value lines.
using Sections = std::vector<std::pair<QString, std::vector<std::pair<QString, QString>>>>;
QString MakeIni(const Sections& sections);

// Answers the real modal dialogs (message boxes, file choosers) as they
// open: `handle` gets each one once and must close it. Stops with `owner`.
void AnswerModals(QObject* owner, std::function<void(QWidget* modal)> handle);

class WinHarness : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Copies the shipped ini files into the program folder.
    void ShipFactoryFiles();
    QString ProgramFile(const QString& name) const { return programFolder + QLatin1Char('/') + name; }
    QString ConfigFile(const QString& name) const;

    // Starts the window on the test frame (empty frameArg: no frame).
    bool Start(QSize screen = QSize(1280, 1024), bool withFrame = true);
    bool WaitFor(const std::function<bool()>& pred, int ms = 20000);
    bool WaitLaidOut() { return WaitFor([&] { return dlg && dlg->LaidOut(); }); }

    template <class T> T* C(int id) { return dlg->findChild<T*>(QStringLiteral("ctl%1").arg(id)); }
    QString WorkingValue(const QString& key, const QString& fallback = QStringLiteral("<none>"));

    // Right-clicks the window's surface and picks the language item `index`
    // from the submenu with the mouse.
    void PickLanguageThroughMenu(int index);

    QTemporaryDir tmp;
    QString programFolder;
    std::string frame;
    std::unique_ptr<CMainDialog> dlg;
    bool started = false;
    QStringList boxes;  // texts of the message boxes shown, in order
    QList<BoxButtons> boxButtons;  // and the buttons each offered
    int answer = QMessageBox::No;
    // When set, answers each box by its text (else `answer`).
    std::function<int(const QString& text)> answerFor;
    // Extra start options (dialogs, frame opener, files) applied by Start.
    std::function<void(StartOptions&)> adjustOptions;
    int displayDepth = 24;  // bits per pixel the window sees
};

} // namespace kestova::win::test
