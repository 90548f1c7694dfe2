#pragma once

// Prints, for each of the four files in the working directory, where it stands and what a
// run would do to it, without changing or creating any file. Returns 0 when every file is
// up to date, 1 when a run would change one, 2 when one cannot be read or is locked. With json,
// prints the same as one JSON document.
int printStatusReport(bool json);
