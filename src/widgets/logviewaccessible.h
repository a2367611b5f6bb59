#pragma once

// Makes Qt's accessibility framework describe every LogView through a
// QAccessibleTextInterface over the text it shows. Safe to call repeatedly.
void InstallLogViewAccessibility();
