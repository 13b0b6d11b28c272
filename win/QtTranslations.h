// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Qt's own texts (the standard buttons Yes, No, Cancel, OK of every message
// box, the file dialogs) in kestova's current language: the system's
// qtbase_<locale>.qm, installed beside the program's own language file.

#include <QString>

namespace kestova::win {

// The Qt locale a language of LanguageUnicode.ini stands for, from the
// English name the file lists it under ("German" -> "de", "Chinese
// (Simplified)" -> "zh_CN"); empty when the name is no language Qt knows.
QString QtLocaleForLanguage(const QString& languageName);

// Replaces the Qt translation in force by the one for `languageName` (none
// for English or an unknown name). Widgets get a LanguageChange event, and
// every box shown afterwards has translated buttons. `folder` empty: the
// system's Qt translations. False when no translation was loaded.
bool UseQtTranslationsFor(const QString& languageName, const QString& folder = QString());

} // namespace kestova::win
