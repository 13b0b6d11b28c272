// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Texts of kestova by key: LanguageUnicode.ini holds a section "Language"
// listing the languages ("Lan_1" ... "Lan_10") and one section per language;
// every text the window shows is looked up in the current language's section,
// with the built-in English text as the default.

#include "common/profile/Profile.h"

#include <QString>
#include <QStringList>

namespace kestova::win {

class Localisation {
public:
    static constexpr int kMaxLanguages = 10;

    // The language file every lookup reads (the user's copy, or the factory
    // file when no copy could be made). Reads it at once.
    void SetFile(const QString& path);
    const QString& File() const { return file_; }
    // Reads the file again (after it was replaced).
    void Reload();

    // Empties the list and reads "Lan_1" ... "Lan_10" until the first missing
    // or empty name. Returns the count.
    int CountLanguages();
    const QStringList& LanguageNames() const { return names_; }

    // The current language (0-based into LanguageNames); -1 or out of range:
    // no section, so every lookup gives its default.
    void SetCurrent(int index) { current_ = index; }
    int Current() const { return current_; }
    QString CurrentName() const;

    // The key's text in the current language (at most 254 characters), or
    // `fallback` when the key, the section or the file is missing.
    QString LookupText(const QString& key, const QString& fallback) const;
    // The key's text in the section "Language"-listed `section`.
    QString Read(const QString& section, const QString& key, const QString& fallback) const;

private:
    QString file_;
    ProfileFile profile_;
    QStringList names_;
    int current_ = -1;
};

} // namespace kestova::win
