// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the album and picture commands share: opening the frame's album,
// writing it back with progress and Ctrl-C / SIGTERM handling, turning the album
// layer's thrown codes into messages, and picture ranges.

#include "cli/cli_common.h"

#include "flash_manager/DPF.h"
#include "session/FrameSession.h"

#include <memory>
#include <string>
#include <vector>

namespace kestova::cli {

// Progress of a commit on stderr: a bar on a terminal, one line per picture
// otherwise (so logs of scripts show how far a write got).
class CommitProgress {
public:
    explicit CommitProgress(bool enabled);
    // After the k-th of n new pictures, k from 0. A terminal's bar is drawn
    // again when only n changed; a log gets a line per picture written.
    void Picture(long k, long n);
    void Line(const char* text);
    // Ends a bar left open on the terminal, so a message does not run into it.
    void Break();

private:
    bool enabled_;
    bool tty_;
    bool open_ = false;   // a bar is on the terminal's last line
    long lastDone_ = 0;   // pictures told in the log
};

struct AlbumSession {
    DPF dpf;
    session::FrameSession frames{dpf};  // opening, fetching, adding, committing
    int lcdWidth = 0;
    int lcdHeight = 0;
    CommitProgress progress{true};
};

// The album layer's thrown code as the command line reports it. `during`
// names what was being done ("reading the album"); `writing` adds that
// nothing is lost; `reason` is why the frame refused its last command.
CliError StoreFailure(int code, const std::string& during, bool writing = false, const std::string& reason = {});

// StoreFailure for a read, except that a virtual frame whose image is
// shorter than its information block states is told as truncated (exit 4).
CliError ReadFailure(const CliContext& ctx, const DPF& dpf, int code, const std::string& during,
                     const std::string& reason = {});

// Attaches the frame (held exclusively for the session's life) and reads its
// information block and album. `quiet` turns the commit progress off;
// `readOnly` is for commands that only look: they write nothing, not even
// the restore of a primary index that lacks "ABFS".
std::unique_ptr<AlbumSession> OpenAlbum(const CliContext& ctx, bool quiet = false, bool readOnly = false);

// Writes the edited album to the frame. Ctrl-C meanwhile stops the write after
// the picture in progress (a second Ctrl-C ends the program). Returns kExitOk,
// or kExitPartial when it stopped early (said on stderr); throws on failure.
// With a feed, the commit is handed further new pictures while it runs
// (see PictureFeed).
int CommitAlbum(AlbumSession& album, const PictureFeed* feed = nullptr);
// One picture a command added to the album in memory, before the commit.
struct NewPicture {
    std::string file;            // where it came from
    std::string detail;          // " (quality 90, 5000 bytes)", or empty
    std::vector<uint8_t> bytes;  // the stored bytes
};

// Writes an album to which `added` were appended (after `oldCount` pictures)
// and tells the truth about them: "added FILE as picture N" only for the
// pictures the frame holds, and after a stop or a failed commit the ones not
// written, one per line on stderr. When the commit fails but the frame still
// answers, the album is read back and what the frame holds decides (a commit
// cut after its last step did succeed). Returns kExitOk, or kExitPartial when
// only some were written; throws the commit's failure when none were.
// A feed may append to `added` while the commit runs.
int CommitNewPictures(AlbumSession& album, int oldCount, const std::vector<NewPicture>& added,
                      const PictureFeed* feed = nullptr);

// True once a commit of this run has reached the frame (whole or stopped
// early between pictures), so a failure to print is not reported as a
// failed write.
bool AlbumWasWritten();

// "all", or a comma list of N, N-M, N- and -M (1-based album positions).
// Returns 0-based indexes, ascending, without repeats. A position past the
// album's end is an album error, a malformed range a usage error.
std::vector<int> ParseRange(const std::string& range, int count);

} // namespace kestova::cli
