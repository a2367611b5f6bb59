#pragma once

#include <QString>

// The usage text that the Help button shows: fourteen lines joined by CR LF,
// exactly as they stand, trailing spaces included.
QString HelpText();
// The caption of its message box.
QString HelpCaption();
