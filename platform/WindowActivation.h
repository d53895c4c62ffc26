#pragma once

class QWidget;

namespace quern {

// Brings a shown window to the front. On macOS the application is activated too: making a window
// key does not bring its application forward there.
void bringToFront(QWidget* window);

} // namespace quern
