// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/album_session.h"

#include "device/virtual/VirtualFrame.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kestova::cli {

namespace {

std::atomic<bool> g_interrupted{false};
bool g_written = false;

extern "C" void OnInterrupt(int sig) {
    g_interrupted.store(true);
    std::signal(sig, SIG_DFL);  // a second Ctrl-C (or SIGTERM) ends the program
}

int ParsePosition(const std::string& text, const std::string& whole) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), digit))
        throw CliError(kExitUsage,
                       "bad picture range \"" + whole + "\" (use N, N-M, N-, -M, lists with commas, or all)");
    return std::stoi(text);
}

} // namespace

CommitProgress::CommitProgress(bool enabled) : enabled_(enabled), tty_(isatty(STDERR_FILENO) == 1) {}

void CommitProgress::Picture(long k, long n) {
    if (!enabled_ || n <= 0) return;
    const long done = k + 1;
    if (tty_) {
        constexpr long kWidth = 30;
        const long filled = std::clamp(done * kWidth / n, 0L, kWidth);
        std::fprintf(stderr, "\rwriting [%s%s] %ld/%ld", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(kWidth - filled), ' ').c_str(), done, n);
        open_ = true;
        if (done >= n) Break();
    } else if (done != lastDone_) {
        std::fprintf(stderr, "writing picture %ld of %ld\n", done, n);
        lastDone_ = done;
    }
    std::fflush(stderr);
}

void CommitProgress::Break() {
    if (!open_) return;
    std::fputc('\n', stderr);
    open_ = false;
}

void CommitProgress::Line(const char* text) {
    if (!enabled_) return;
    Break();
    lastDone_ = 0;  // a line starts the next stage (a commit counts from 1 again)
    std::fprintf(stderr, "%s\n", text);
}

CliError StoreFailure(int code, const std::string& during, bool writing, const std::string& reason) {
    if (code == kAlbumErrorUnusable)
        return CliError(kExitAlbum, (during.empty() ? std::string() : during + ": ") +
                                        "the frame's album area is unusable: it is too small for one "
                                        "4096-byte slot per picture, or badly placed on the flash");
    if (code == kAlbumErrorLcdSize)
        return CliError(kExitAlbum, (during.empty() ? std::string() : during + ": ") +
                                        "the frame reports an LCD larger than any picture can be made for "
                                        "(at most 4096 pixels a side and 16 megapixels); its information "
                                        "block is damaged, so the frame is not used");
    const std::string what = session::Failure{code, reason}.Text(writing);
    std::string text = during + " was cut off (" + what + "; was the frame pulled?).";
    if (writing)
        text += " Nothing is lost: the frame shows the album as it was before, or the new one if the "
                "write got that far.";
    return CliError(kExitDevice, text + " Check the cable and try again.");
}

CliError ReadFailure(const CliContext& ctx, const DPF& dpf, int code, const std::string& during,
                     const std::string& reason) {
    // A virtual frame's image cut short fails its reads past the end: say
    // that, not "was the frame pulled?".
    if (code == kAlbumErrorRead && !ctx.frameArg.empty() && dpf.GetFlashSize() > 0) {
        std::string path;
        try {
            path = ParseVirtualFrameArgument(ctx.frameArg).path;
        } catch (const std::exception&) {
        }
        struct stat st {};
        if (!path.empty() && ::stat(path.c_str(), &st) == 0 && st.st_size < dpf.GetFlashSize())
            return CliError(kExitAlbum, "the frame image " + path + " is truncated: it holds " +
                                            std::to_string(st.st_size) + " bytes, shorter than the " +
                                            std::to_string(dpf.GetFlashSize()) +
                                            " bytes of flash its information block states");
    }
    return StoreFailure(code, during, false, reason);
}

std::unique_ptr<AlbumSession> OpenAlbum(const CliContext& ctx, bool quiet, bool readOnly) {
    auto album = std::make_unique<AlbumSession>();
    album->progress = CommitProgress(!quiet);
    AlbumSession* a = album.get();
    album->dpf.Init(AttachFrame(ctx), [a](int, long k, long n) {
        a->progress.Picture(k, n);
        if (g_interrupted.load()) a->dpf.RequestStop();
    });
    session::OpenSteps steps;
    steps.readOnly = readOnly;
    const session::OpenResult opened = album->frames.Open(steps);
    if (opened.status == session::OpenStatus::ReadFailed)
        throw ReadFailure(ctx, album->dpf, opened.failure.storeCode, "reading the album", opened.failure.command);
    if (opened.status == session::OpenStatus::AlbumUnusable)
        throw StoreFailure(opened.failure.storeCode, "reading the album", false, opened.failure.command);
    if (!opened.ok())
        throw CliError(opened.status == session::OpenStatus::NotOnline ? kExitNoFrame : kExitAlbum,
                       session::OpenFailureText(opened));
    album->lcdWidth = opened.info.lcdWidth;
    album->lcdHeight = opened.info.lcdHeight;
    return album;
}

int CommitAlbum(AlbumSession& album, const PictureFeed* feed) {
    album.progress.Line("writing the album to the frame...");
    g_interrupted.store(false);
    // SIGTERM (a service manager, kill) stops between pictures like Ctrl-C.
    const auto previous = std::signal(SIGINT, OnInterrupt);
    const auto previousTerm = std::signal(SIGTERM, OnInterrupt);
    const session::CommitResult committed = album.frames.Commit(feed);
    std::signal(SIGINT, previous);
    std::signal(SIGTERM, previousTerm);
    if (committed.status == session::CommitStatus::Failed)
        throw StoreFailure(committed.failure.storeCode, "writing the album", true, committed.failure.command);
    g_written = true;
    int count = 0;
    album.dpf.GetFileNum(count);
    const int written = album.dpf.GetCommittedNum();
    // A stop that came after the last picture (and with nothing left to
    // feed) stopped nothing: the album is whole.
    const bool unfed = feed && feed->pending && feed->pending() > 0;
    if (committed.status == session::CommitStatus::StoppedEarly && (written < count || unfed)) {
        if (written < count)
            std::fprintf(stderr, "kestova-cli: stopped; the frame holds %d pictures, %d new one%s not written\n",
                         written, count - written, count - written == 1 ? " was" : "s were");
        else
            std::fprintf(stderr, "kestova-cli: stopped; the frame holds %d pictures\n", written);
        return kExitPartial;
    }
    album.progress.Line("done");
    return kExitOk;
}

namespace {

// How many of `added` (appended after `oldCount`) a fresh read of the frame
// lists, byte for byte; -1 when the frame cannot be read or holds an album
// that is neither the old one nor the new one.
int NewPicturesOnTheFrame(AlbumSession& album, int oldCount, const std::vector<NewPicture>& added) {
    try {
        album.dpf.ReadDPFInfo();
        album.dpf.Read(DPF::kReadOnly);
    } catch (int) {
        return -1;
    }
    int count = 0;
    album.dpf.GetFileNum(count);
    if (count == oldCount) return 0;
    if (count != oldCount + int(added.size())) return -1;
    for (size_t i = 0; i < added.size(); ++i) {
        const int index = oldCount + int(i);
        std::vector<uint8_t> bytes(added[i].bytes.size());
        int length = 0;
        try {
            if (!album.dpf.GetFileAtIndex(index, bytes.data(), int(bytes.size()), length) ||
                size_t(length) != bytes.size() || bytes != added[i].bytes)
                return -1;
        } catch (int) {
            return -1;
        }
    }
    return int(added.size());
}

void TellWritten(const std::vector<NewPicture>& added, int oldCount, int written) {
    for (int i = 0; i < written && i < int(added.size()); ++i)
        std::printf("added %s as picture %d%s\n", added[size_t(i)].file.c_str(), oldCount + i + 1,
                    added[size_t(i)].detail.c_str());
    std::fflush(stdout);
    for (size_t i = size_t(std::max(written, 0)); i < added.size(); ++i)
        std::fprintf(stderr, "kestova-cli: not written: %s\n", added[i].file.c_str());
}

} // namespace

int CommitNewPictures(AlbumSession& album, int oldCount, const std::vector<NewPicture>& added,
                      const PictureFeed* feed) {
    int rc = kExitOk;
    try {
        rc = CommitAlbum(album, feed);
    } catch (const CliError& failure) {
        // The write failed somewhere; the frame may still answer. What it
        // holds now is the answer, not a guess: a commit cut after its last
        // step has put every picture there, and "try again" would add them twice.
        const int written = NewPicturesOnTheFrame(album, oldCount, added);
        // (A commit that failed before its first new picture arrived holds
        // nothing new, whatever was still to come.)
        if (written == int(added.size()) && !added.empty()) {
            g_written = true;
            std::fprintf(stderr, "kestova-cli: the write reported a failure at its end, but the frame holds "
                                 "the whole new album (read back)\n");
            TellWritten(added, oldCount, written);
            return kExitOk;
        }
        if (written == 0) {
            TellWritten(added, oldCount, 0);
            throw CliError(failure.code(), std::string(failure.what()) + " The frame holds the album as it was.");
        }
        for (const NewPicture& p : added) std::fprintf(stderr, "kestova-cli: perhaps not written: %s\n", p.file.c_str());
        throw;
    }
    const int written = rc == kExitOk ? int(added.size()) : album.dpf.GetCommittedNum() - oldCount;
    TellWritten(added, oldCount, written);
    return rc;
}

bool AlbumWasWritten() { return g_written; }

std::vector<int> ParseRange(const std::string& range, int count) {
    std::set<int> picked;
    if (range == "all") {
        for (int i = 0; i < count; ++i) picked.insert(i);
        return {picked.begin(), picked.end()};
    }
    size_t start = 0;
    while (start <= range.size()) {
        const size_t comma = range.find(',', start);
        const std::string item =
            range.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t dash = item.find('-');
        if (item == "-") ParsePosition("", range);  // a lone dash names nothing
        int first, last;
        if (dash == std::string::npos) {
            first = last = ParsePosition(item, range);
        } else {
            first = dash == 0 ? 1 : ParsePosition(item.substr(0, dash), range);
            last = dash + 1 == item.size() ? count : ParsePosition(item.substr(dash + 1), range);
        }
        if (first < 1 || last < first)
            throw CliError(kExitUsage, "bad picture range \"" + range + "\": positions start at 1");
        if (last > count)
            throw CliError(kExitAlbum, "picture " + std::to_string(last) + " is past the end of the album (" +
                                           std::to_string(count) + " picture(s))");
        for (int p = first; p <= last; ++p) picked.insert(p - 1);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return {picked.begin(), picked.end()};
}

} // namespace kestova::cli
