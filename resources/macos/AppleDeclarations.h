// What the Objective-C++ files use of AppKit that GNUstep's headers lack, declared as Apple's SDK
// declares it, with the macOS version that brought it. Only scripts/macos-check.sh includes this
// (-include, after GNUstep's Foundation and AppKit): a Mac build gets all of it from the SDK.
#pragma once

#import <AppKit/AppKit.h>
#include <os/availability.h>

@interface NSWorkspace (AppleSDK)
// NSWorkspace.h
- (void)activateFileViewerSelectingURLs:(NSArray<NSURL*>*)fileURLs API_AVAILABLE(macos(10.6));
@end

@interface NSWindow (AppleSDK)
// NSWindow.h: GNUstep has only the getter, as a method returning NSUInteger.
@property NSWindowStyleMask styleMask;
@property BOOL titlebarAppearsTransparent API_AVAILABLE(macos(10.10));
@end

@interface NSApplication (AppleSDK)
// NSApplication.h
- (void)activate API_AVAILABLE(macos(14.0));
@end
