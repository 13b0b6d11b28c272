// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/album_plan.h"

#include <algorithm>
#include <map>

namespace kestova::cli {

AlbumPlan PlanAlbum(AlbumSession& album, const std::vector<WantedPicture>& wanted) {
    AlbumPlan plan;
    plan.wanted = wanted.size();
    album.dpf.GetFileNum(plan.present);
    std::multimap<size_t, int> byLength;  // present pictures by length, in album order
    for (int i = 0; i < plan.present; ++i) {
        uint32_t address = 0;
        int length = 0;
        if (album.dpf.GetFileInfo(i, address, length)) byLength.emplace(size_t(length), i);
    }
    std::vector<bool> used(size_t(plan.present), false);
    for (const WantedPicture& w : wanted) {
        int match = -1;
        const auto [first, last] = byLength.equal_range(w.bytes.size());
        for (auto it = first; it != last && match < 0; ++it) {
            if (used[size_t(it->second)]) continue;
            const session::AlbumPicture p = album.frames.FetchPicture(it->second, PictureCache::DontKeep);
            if (p.status == session::PictureStatus::ReadFailed)
                throw StoreFailure(p.failure.storeCode, "reading picture " + std::to_string(it->second + 1), false,
                                   p.failure.command);
            if (p.bytes == w.bytes) match = it->second;
        }
        if (match < 0) break;  // from here on every wanted picture is written anew
        used[size_t(match)] = true;
        plan.keptFrom.push_back(match);
    }
    for (int i = 0; i < plan.present; ++i)
        if (!used[size_t(i)]) plan.removed.push_back(i);
    plan.reordered = !std::is_sorted(plan.keptFrom.begin(), plan.keptFrom.end());
    return plan;
}

void PrintPlan(const AlbumPlan& plan, const std::vector<WantedPicture>& wanted, std::FILE* out) {
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (i < plan.Kept()) {
            const int from = plan.keptFrom[i] + 1;
            if (from == int(i) + 1)
                std::fprintf(out, "keep   %4zu  %s\n", i + 1, wanted[i].name.c_str());
            else
                std::fprintf(out, "move   %4zu  %s (now picture %d)\n", i + 1, wanted[i].name.c_str(), from);
        } else {
            std::fprintf(out, "write  %4zu  %s\n", i + 1, wanted[i].name.c_str());
        }
    }
    for (int r : plan.removed) std::fprintf(out, "delete        picture %d of the frame\n", r + 1);
    std::fprintf(out, "%zu kept%s, %zu to write, %zu to delete%s\n", plan.Kept(), plan.reordered ? " (in a new order)" : "",
                 plan.ToWrite(), plan.removed.size(), plan.Changes() ? "" : ": the album is up to date");
}

size_t ApplyPlan(AlbumSession& album, const AlbumPlan& plan, const std::vector<WantedPicture>& wanted) {
    DPF& dpf = album.dpf;
    size_t next = plan.Kept();
    const auto addWhileRoom = [&] {
        while (next < wanted.size() && dpf.AddData(wanted[next].bytes.data(), int(wanted[next].bytes.size())))
            ++next;
    };
    addWhileRoom();
    for (auto it = plan.removed.rbegin(); it != plan.removed.rend(); ++it) dpf.DeleteFileAt(*it);
    addWhileRoom();
    // The kept pictures now fill the first positions in their old relative
    // order; put them in the wanted one.
    std::vector<int> order(plan.keptFrom.begin(), plan.keptFrom.end());
    std::sort(order.begin(), order.end());
    for (size_t p = 0; p < order.size(); ++p) {
        const size_t q = size_t(std::find(order.begin(), order.end(), plan.keptFrom[p]) - order.begin());
        if (q == p) continue;
        dpf.MoveFile(int(q), int(p));
        const int moved = order[q];
        order.erase(order.begin() + std::ptrdiff_t(q));
        order.insert(order.begin() + std::ptrdiff_t(p), moved);
    }
    return wanted.size() - next;
}

} // namespace kestova::cli
