// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Making the album a given list of device pictures (restore, sync) in one
// commit with as few writes as the album allows.
//
// A picture the frame already holds is recognised by its bytes (read with
// the frame's checksums; only pictures of a wanted length are read at all)
// and kept where it lies: keeping costs nothing but its place in the index.
// Within one commit the pictures already on the flash come first and new
// ones after them, so the kept pictures are the longest run at the front of
// the wanted list that the frame holds; every wanted picture after the first
// one the frame lacks is written anew, and every picture no one keeps is
// deleted. A pure reorder therefore rewrites only the two index blocks.

#include "cli/album_session.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestova::cli {

struct WantedPicture {
    std::string name;            // for messages: a file name, "picture 3 of the backup"
    std::vector<uint8_t> bytes;  // the device picture
};

struct AlbumPlan {
    int present = 0;              // pictures on the frame before
    std::vector<int> keptFrom;    // wanted[i] (i < keptFrom.size()) is present picture keptFrom[i]
    std::vector<int> removed;     // present pictures no one keeps, ascending
    bool reordered = false;       // the kept pictures change their order
    size_t wanted = 0;
    size_t Kept() const { return keptFrom.size(); }
    size_t ToWrite() const { return wanted - keptFrom.size(); }
    bool Changes() const { return ToWrite() > 0 || !removed.empty() || reordered; }
};

// Compares `wanted` with the album the session read. Throws (a StoreFailure)
// when a picture cannot be read.
AlbumPlan PlanAlbum(AlbumSession& album, const std::vector<WantedPicture>& wanted);

// The plan in words, one line a step, on `out` (the dry run's output).
void PrintPlan(const AlbumPlan& plan, const std::vector<WantedPicture>& wanted, std::FILE* out);

// Edits the album in memory by the plan (nothing is written yet). New
// pictures are added before the deletions while the album has room, so
// they go to slots the old album does not use and a write cut off anywhere
// leaves the old album whole. Returns how many wanted pictures found no
// room (the last ones).
size_t ApplyPlan(AlbumSession& album, const AlbumPlan& plan, const std::vector<WantedPicture>& wanted);

} // namespace kestova::cli
