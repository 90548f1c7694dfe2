#pragma once

#include "commandline.h"

class QCoreApplication;

// The exit status of an option whose answer could not be written to standard output.
const int outputLostExitStatus = 3;

// The options for service engineers: --help, --version, --status and --dry-run. Returns the
// exit status.
int runServiceOption(const CommandLine &command, QCoreApplication &app);
