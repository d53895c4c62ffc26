#include "platform/RevealFile.h"

#include <QFileInfo>

#import <AppKit/AppKit.h>

namespace quern {

void revealFile(const QString& path) {
    if (path.isEmpty())
        return;
    @autoreleasepool {
        NSURL* url = [NSURL fileURLWithPath:QFileInfo(path).absoluteFilePath().toNSString()];
        // Returns at once; Finder comes forward on its own.
        [[NSWorkspace sharedWorkspace] activateFileViewerSelectingURLs:@[ url ]];
    }
}

} // namespace quern
