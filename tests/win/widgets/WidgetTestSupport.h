// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the dialog program's widget tests: one application object
// whose home folder (and so its Desktop and Pictures) is a fresh temporary
// folder, and small file helpers.

#include <QImage>
#include <QPoint>

class QWidget;
#include <QString>

namespace kestova::win::test {

// Creates the QApplication once, with HOME and XDG_CONFIG_HOME pointing into
// a temporary folder that lives as long as the test program.
void EnsureApp();
QString HomeDir();
// First member of a fixture whose other members are widgets.
struct AppFirst {
    AppFirst() { EnsureApp(); }
};

// A person's double click: press, release, double click, release.
void DoubleClick(QWidget* widget, QPoint pos, Qt::MouseButton button = Qt::LeftButton);

void MakeDir(const QString& path);
void WriteText(const QString& path, const QByteArray& bytes = "x");
// Saves `image` losslessly in the format the file name says (png, bmp, ...).
void SavePicture(const QString& path, const QImage& image);

// Four flat quadrants: red top-left, green top-right, blue bottom-left,
// yellow bottom-right.
QImage Quadrants(int w, int h);
// Every pixel different.
QImage Pattern(int w, int h);

} // namespace kestova::win::test
