// SPDX-License-Identifier: GPL-3.0-or-later
#include "mac/HIFramework/TNib.h"

#include "mac/HIFramework/TCarbonEvent.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QCoreApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace kestova::mac {

TNib::TNib(const QString& nibName) : name_(nibName), valid_(nibName == QLatin1String("main")) {}

TNib::~TNib() = default;

QMainWindow* TNib::CreateWindowFromNib(const QString& windowName) const
{
    if (!valid_ || windowName != QLatin1String("MainWindow"))
        return nullptr;
    auto* window = new QMainWindow;
    Ui::MainWindow ui;
    ui.setupUi(window);
    return window;
}

bool TNib::SetMenuBarFromNib(QMainWindow* window, const QString& menuBarName) const
{
    if (!valid_ || !window)
        return false;
    auto* bar = window->findChild<QMenuBar*>(menuBarName);
    if (!bar)
        return false;
    // A layout file makes its actions children of the window, not of the
    // menu bar, so every action of the window that carries a command is
    // connected; the menus only show them.
    for (QAction* action : window->findChildren<QAction*>()) {
        const FourCharCode id = FourCCFromText(action->property("command").toString().toStdString());
        if (id == 0)
            continue;
        QObject::connect(action, &QAction::triggered, action, [id] {
            TCarbonEvent e(kEventClassCommand, kEventCommandProcess);
            e.SetCommand(HICommandExtended{0, id});
            e.PostTo(QCoreApplication::instance());
        });
    }
    return true;
}

} // namespace kestova::mac
