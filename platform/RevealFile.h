#pragma once

#include <QString>

namespace quern {

// Shows `path` selected in the file manager without waiting for it. Where no file manager takes
// the request, the containing folder is opened instead.
void revealFile(const QString& path);

} // namespace quern
