// kestova-cli: command-line front-end for scripting and headless use.

#include "cli/cli_common.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    using namespace kestova::cli;
    CLI::App app{"kestova-cli: manage the picture album of a USB photo frame"};
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Print help for every subcommand");

    CliContext ctx;
    if (const char* env = std::getenv("KESTOVA_FRAME")) ctx.frameArg = env;
    app.add_option("--frame", ctx.frameArg,
                   "Use the virtual frame on this flash image: PATH[,key=value...] "
                   "(default: $KESTOVA_FRAME, else the frame that is plugged in)");

    RegisterDeviceCommands(app, ctx);
    RegisterAlbumCommands(app, ctx);
    RegisterImagingCommands(app, ctx);
    RegisterDiscoveryCommands(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const CliError& e) {
        std::fprintf(stderr, "kestova-cli: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestova-cli: %s\n", e.what());
        return kExitDevice;
    }
    return kExitOk;
}
