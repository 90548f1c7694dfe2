#pragma once

#include <optional>

// The options for service engineers, taken only when the first argument is exactly one of
// --help, --version, --status or --dry-run. Returns the exit status, or nothing when the
// command line asks for an ordinary run.
std::optional<int> runServiceOption(int argc, char **argv);
