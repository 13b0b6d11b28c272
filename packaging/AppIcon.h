// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The programs' window icons: the icon theme's one when it has it (so an
// installed theme or the package's hicolor icons win), else the PNGs built
// into the program from packaging/icons/NAME.svg.

#include <QIcon>

// name: "kestova" or "mackestova". An unknown name gives a null icon.
QIcon KestovaAppIcon(const char* name);

// The built-in icon alone, every rendered size (16 to 256 pixels).
QIcon KestovaBuiltInAppIcon(const char* name);
