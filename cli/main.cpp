// SPDX-License-Identifier: GPL-3.0-or-later
// kestova-cli: command-line front-end for scripting and headless use.

#include "cli/album_session.h"
#include "cli/cli_common.h"

#include "KestovaVersion.h"

#include <QString>
#include <QThread>
#include <QtGlobal>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

using namespace kestova::cli;

// The first word that is neither an option nor an option's value, when it
// names no command.
std::string UnknownCommandWord(CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frame") {
            ++i;
            continue;
        }
        if (a == "--wait") {
            if (i + 1 < argc && (std::isdigit(static_cast<unsigned char>(argv[i + 1][0])) ||
                                 std::string(argv[i + 1]) == "forever"))
                ++i;
            continue;
        }
        if (!a.empty() && a[0] == '-') continue;
        for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
            if (sub->check_name(a)) return {};
        return a;
    }
    return {};
}

// Everything printed must have reached the standard output: a full disk or a
// closed pipe is an error (exit 5), except that a reader that went away after
// an album was written does not turn that success into a failure.
int FinishOutput(int rc) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return rc;
    const int e = errno;
    if (e == EPIPE && AlbumWasWritten()) return rc;
    std::fprintf(stderr, "kestova-cli: cannot write to the standard output (%s)%s\n",
                 e ? std::strerror(e) : "write error",
                 AlbumWasWritten() ? "; the album on the frame was written all the same" : "");
    return rc == kExitOk ? kExitFile : rc;
}

// Library chatter (libpng's "known incorrect sRGB profile" and the like)
// says nothing the user can act on; each file's own result is reported by
// the command. Only critical messages reach the terminal.
void QuietLibraryMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "kestova-cli: %s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv) {
    // Qt takes the first thread that uses it for its main thread. Without a
    // QCoreApplication that could be a picture worker, which ends while
    // others still run: the image plugin loader created later in another
    // worker then refers to a thread that is gone (a crash now and then).
    QThread::currentThread();
    qInstallMessageHandler(QuietLibraryMessages);
    CLI::App app{"kestova-cli: manage the picture album of a USB photo frame"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Print help for every subcommand");
    app.set_version_flag("--version", "kestova-cli " KESTOVA_VERSION, "Print the version and exit");

    CliContext ctx;
    if (const char* env = std::getenv("KESTOVA_FRAME")) ctx.frameArg = env;
    app.add_option("--frame", ctx.frameArg,
                   "Use the virtual frame on this flash image: PATH[,key=value...] "
                   "(default: $KESTOVA_FRAME, else the frame that is plugged in)");
    app.add_option("--wait", ctx.wait,
                   "When another program holds the frame, wait until it lets go: at most SECONDS, "
                   "or as long as it takes when no number is given (default: fail at once, exit 7)")
        ->expected(0, 1)
        ->default_str("forever")
        ->type_name("[SECONDS]");

    RegisterDeviceCommands(app, ctx);
    RegisterAlbumCommands(app, ctx);
    RegisterBackupCommands(app, ctx);
    RegisterImagingCommands(app, ctx);
    RegisterDiscoveryCommands(app, ctx);

    // A reader that went away makes writes fail with EPIPE instead of ending
    // the program in the middle of a commit; FinishOutput decides the code.
    std::signal(SIGPIPE, SIG_IGN);
    int rc = kExitOk;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // An unknown command word is said in our words alone: the parser's
        // "A subcommand is required" would contradict it.
        if (app.get_subcommands().empty())
            if (const std::string word = UnknownCommandWord(app, argc, argv); !word.empty()) {
                std::fprintf(stderr, "kestova-cli: unknown command '%s' (kestova-cli --help lists them)\n",
                             word.c_str());
                return kExitUsage;
            }
        // Help answers 0; every other parse error is a usage error.
        if (app.exit(e) == 0) return FinishOutput(kExitOk);
        return kExitUsage;
    } catch (const CliError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestova-cli: %s\n", e.what());
        rc = e.code();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestova-cli: %s\n", e.what());
        rc = kExitDevice;
    }
    return FinishOutput(rc);
}
