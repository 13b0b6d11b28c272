#include "cli/cli_common.h"

namespace kestova::cli {

// Commands of this group are added as the layers beneath them land.
void RegisterDiscoveryCommands(CLI::App& /*app*/, CliContext& /*ctx*/) {}

} // namespace kestova::cli
