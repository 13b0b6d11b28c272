// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// File names as the file system holds them: bytes, not always valid UTF-8.
// Qt decodes names lossily (and its directory listing leaves such names
// out), so a name with, say, a Latin-1 byte could neither be listed nor
// opened again. These helpers keep every byte:
//
//     QString path = NameFromBytes(rawBytes);   // invalid bytes: U+DC80 + byte
//     ::open(BytesOfName(path).constData(), O_RDONLY);  // the same bytes again
//     label->setText(ShownName(path));          // invalid bytes shown as \xNN
//
// A valid UTF-8 name gives exactly what QFile::decodeName gives. A byte that
// is not part of valid UTF-8 becomes the lone surrogate U+DC80 + byte, which
// no valid name can hold, and turns back into that byte.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kestova {

QString NameFromBytes(const QByteArray& bytes);
QByteArray BytesOfName(const QString& name);
// For people: each kept byte as "\xNN" (upper-case hex).
QString ShownName(const QString& name);
// True when the name holds kept bytes (Qt's own file classes cannot open it).
bool HasKeptBytes(const QString& name);

// The entries of a folder (bytes path of `folder`), "." and ".." left out,
// every name kept; false when the folder cannot be read.
bool ListFolderNames(const QString& folder, QStringList& names);

} // namespace kestova
