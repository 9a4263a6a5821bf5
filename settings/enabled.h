#pragma once
// Reading the "Enabled" value of a target's section.

#include <QString>
#include <optional>

#include "settings/profilestore.h"

// "True" / "False" in any letter case, or a number (0 = unticked, any other
// number = ticked; blanks around it are allowed, e.g. "-1", " 2 ", "0.0").
// Anything else (empty, "yes", "1x") cannot be read: nothing.
std::optional<bool> ParseEnabled(const QString& text);

// The load's rule: a value that cannot be read (absent, empty, or neither a
// Boolean nor a number) loads the target unticked, and the load goes on.
bool EnabledOrUnticked(const OptText& text);
