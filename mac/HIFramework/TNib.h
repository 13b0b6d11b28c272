// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window layout file. The program's layout ("main") is a Qt Designer file
// compiled into the program; it holds the window "MainWindow" and the menu bar
// "MenuBar". Controls are looked up by name afterwards (signature_number).

#include <QString>

#include <memory>

class QMainWindow;

namespace kestova::mac {

class TNib {
public:
    explicit TNib(const QString& nibName);
    ~TNib();
    TNib(const TNib&) = delete;
    TNib& operator=(const TNib&) = delete;

    bool IsValid() const { return valid_; }
    // Builds the named window; null when this layout has no such window.
    QMainWindow* CreateWindowFromNib(const QString& windowName) const;
    // Binds the named menu bar of `window`: each menu item that carries a
    // "command" property posts that command to the application.
    bool SetMenuBarFromNib(QMainWindow* window, const QString& menuBarName) const;

private:
    QString name_;
    bool valid_ = false;
};

} // namespace kestova::mac
