#include "platform/RevealFile.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#import <AppKit/AppKit.h>

namespace quern {

void revealFile(const QString& path) {
    if (path.isEmpty())
        return;
    const QFileInfo file(path);
    if (!file.exists()) {
        // Finder has nothing to select: open the folder the file will appear in, as on Linux.
        (void)QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
        return;
    }
    @autoreleasepool {
        NSURL* url = [NSURL fileURLWithPath:file.absoluteFilePath().toNSString()];
        // Returns at once; Finder comes forward on its own.
        [[NSWorkspace sharedWorkspace] activateFileViewerSelectingURLs:@[ url ]];
    }
}

} // namespace quern
