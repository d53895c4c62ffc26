#include "platform/WindowChrome.h"

namespace quern {

// Other desktops draw their own decorations; there is nothing to blend into.
bool makeTitleBarTransparent(QWidget*) {
    return false;
}

} // namespace quern
