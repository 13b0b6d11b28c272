// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The demo frame: a new virtual frame that already shows pictures.

#include <string>

namespace kestova::cli {

// Adds the drawn sample pictures (imaging/SamplePictures.h) to the empty
// virtual frame at `path` and writes its album; as many as fit when the
// album holds fewer, telling each on stdout. Returns how many pictures the
// frame now holds. Throws CliError.
int AddSamplePictures(const std::string& path);

} // namespace kestova::cli
