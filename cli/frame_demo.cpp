// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/frame_demo.h"

#include "cli/album_session.h"
#include "imaging/Preparation.h"
#include "imaging/SamplePictures.h"

namespace kestova::cli {

int AddSamplePictures(const std::string& path) {
    CliContext ctx;
    ctx.frameArg = path;
    auto session = OpenAlbum(ctx);
    AlbumSession& album = *session;
    int oldCount = 0;
    album.dpf.GetFileNum(oldCount);
    std::vector<NewPicture> added;
    for (const SamplePicture& sample : DrawSamplePictures(QSize(album.lcdWidth, album.lcdHeight))) {
        const session::AddResult fit = album.frames.AddPreparedPicture(sample.image, 90);
        if (fit.status == session::AddStatus::AlbumFull) break;
        if (!fit.ok())
            throw CliError(kExitAlbum, "the sample picture " + sample.name.toStdString() + " could not be added: " +
                                           session::AddFailureText(fit));
        added.push_back({"sample " + sample.name.toStdString(), "", fit.bytes});
    }
    if (added.empty()) throw CliError(kExitAlbum, "the album has no room for the sample pictures");
    if (CommitNewPictures(album, oldCount, added) != kExitOk)
        throw CliError(kExitPartial, "the sample pictures were written only in part");
    int count = 0;
    album.dpf.GetFileNum(count);
    return count;
}

} // namespace kestova::cli
