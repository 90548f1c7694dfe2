#pragma once

// The program: log file, translations, then the four updaters in their fixed order.
// Returns the exit status: 0 when every updater succeeded, 1 otherwise.
int runLauncher(int argc, char **argv);
