// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Texts that the language file provides reach the widgets from outside: the
// main window hands in its lookup (key, English default) -> text. The widgets
// never read a profile file themselves.

#include <QString>

#include <functional>

namespace kestova::win {

using TextLookup = std::function<QString(const QString& key, const QString& defaultText)>;

} // namespace kestova::win
