#pragma once

class QWidget;

namespace quern {

// Lets the window's content run under a see-through title bar, as AppKit utility windows do.
// Qt rebuilds the native style mask whenever window flags change, so call this after setting
// them. Returns whether the platform did it (only macOS does).
bool makeTitleBarTransparent(QWidget* window);

} // namespace quern
