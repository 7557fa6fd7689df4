// get and put: the daemon's downloadable and uploadable files.
#pragma once

#include <cstdint>

#include "context.h"

namespace korvctl {

int RunGet(Context& context, const Subcommand& row);
int RunPut(Context& context, const Subcommand& row);
// True for the codes of file downloads and uploads.
bool IsFileCode(std::uint32_t code);

}  // namespace korvctl
