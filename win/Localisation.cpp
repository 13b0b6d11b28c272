// SPDX-License-Identifier: GPL-3.0-or-later
#include "win/Localisation.h"

#include <QFile>

namespace kestova::win {

void Localisation::SetFile(const QString& path)
{
    file_ = path;
    Reload();
}

void Localisation::Reload()
{
    profile_ = ProfileFile::Load(QFile::encodeName(file_).toStdString());
}

int Localisation::CountLanguages()
{
    names_.clear();
    for (int n = 1; n <= kMaxLanguages; ++n) {
        const QString name = Read(QStringLiteral("Language"), QStringLiteral("Lan_%1").arg(n), QString());
        if (name.isEmpty())
            break;
        names_ << name;
    }
    return int(names_.size());
}

QString Localisation::CurrentName() const
{
    return current_ >= 0 && current_ < names_.size() ? names_[current_] : QString();
}

QString Localisation::Read(const QString& section, const QString& key, const QString& fallback) const
{
    if (const auto v = profile_.Find(section.toStdString(), key.toStdString()))
        return QString::fromStdString(*v);
    return QString::fromStdString(ProfileFile::CutChars(fallback.toStdString(), ProfileFile::kMaxValueChars));
}

QString Localisation::LookupText(const QString& key, const QString& fallback) const
{
    const QString section = CurrentName();
    if (section.isEmpty())
        return fallback;
    return Read(section, key, fallback);
}

} // namespace kestova::win
