// SPDX-License-Identifier: GPL-3.0-or-later
#include "imaging/LocalNames.h"

#include <algorithm>

#include <QFile>

#include <dirent.h>

namespace kestova {

namespace {

constexpr char16_t kKeptBase = 0xDC00;

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), 0 when
// the bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF count as invalid, as in a strict decoder).
int ValidSequence(const unsigned char* p, qsizetype left)
{
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int n = 0;
    char32_t v = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (left < n)
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && v < 0x800) || (n == 4 && (v < 0x10000 || v > 0x10FFFF)) || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    return n;
}

// A kept byte: a low surrogate in U+DC80..U+DCFF that is not the second
// half of a pair (decoded UTF-8 never leaves a surrogate alone).
bool IsKept(const QString& name, qsizetype i)
{
    const char16_t c = name[i].unicode();
    return c >= kKeptBase + 0x80 && c <= kKeptBase + 0xFF && !(i > 0 && name[i - 1].isHighSurrogate());
}

} // namespace

QString NameFromBytes(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        // Runs of valid UTF-8 are decoded together.
        qsizetype j = i;
        int n = 0;
        while (j < size && (n = ValidSequence(p + j, size - j)) > 0)
            j += n;
        if (j > i)
            out += QString::fromUtf8(bytes.constData() + i, j - i);
        if (j < size) {
            out += QChar(char16_t(kKeptBase + p[j]));
            ++j;
        }
        i = j;
    }
    return out;
}

bool HasKeptBytes(const QString& name)
{
    for (qsizetype i = 0; i < name.size(); ++i)
        if (IsKept(name, i))
            return true;
    return false;
}

QByteArray BytesOfName(const QString& name)
{
    if (!HasKeptBytes(name))
        return QFile::encodeName(name);
    QByteArray out;
    qsizetype run = 0;  // start of the characters not yet encoded
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!IsKept(name, i))
            continue;
        out += QStringView(name).mid(run, i - run).toUtf8();
        out += char(name[i].unicode() - kKeptBase);
        run = i + 1;
    }
    out += QStringView(name).mid(run).toUtf8();
    return out;
}

QString ShownName(const QString& name)
{
    // Control characters (a newline, an escape) are shown as bytes too: a
    // name must never break a line of the status bar or the list, nor reach
    // a terminal as a command.
    const auto control = [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; };
    if (!HasKeptBytes(name) && std::none_of(name.begin(), name.end(), control))
        return name;
    QString out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (IsKept(name, i))
            out += QString::asprintf("\\x%02X", unsigned(name[i].unicode() - kKeptBase));
        else if (control(name[i]))
            out += QString::asprintf("\\x%02X", unsigned(name[i].unicode()));
        else
            out += name[i];
    }
    return out;
}

bool ListFolderNames(const QString& folder, QStringList& names)
{
    names.clear();
    DIR* d = ::opendir(BytesOfName(folder).constData());
    if (!d)
        return false;
    while (const dirent* e = ::readdir(d)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        names.append(NameFromBytes(name));
    }
    ::closedir(d);
    return true;
}

} // namespace kestova
