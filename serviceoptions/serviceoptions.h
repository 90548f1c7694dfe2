#pragma once

#include "commandline.h"

class QCoreApplication;

// The options for service engineers: --help, --version, --status and --dry-run. Returns the
// exit status.
int runServiceOption(const CommandLine &command, QCoreApplication &app);
