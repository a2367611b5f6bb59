#pragma once

// Whether the program runs as the system's superuser (root), whom some
// sandboxes refuse; never on Windows, where no sandbox here minds an
// administrator. One file for POSIX systems, one for Windows.
bool RunsAsSuperuser();
