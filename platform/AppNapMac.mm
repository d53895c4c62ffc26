#include "platform/AppNap.h"

#import <Foundation/Foundation.h>

namespace quern {
namespace {

id<NSObject> gActivity = nil; // held, never ended: the activity lasts as long as the process

} // namespace

void keepTimersOnTime() {
    if (gActivity != nil)
        return;
    @autoreleasepool {
        // User-initiated work is never napped; this variant still lets an idle Mac go to sleep.
        id<NSObject> activity = [[NSProcessInfo processInfo]
            beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                              reason:@"Checks the bridge agent every 2 seconds"];
#if __has_feature(objc_arc)
        gActivity = activity;
#else
        gActivity = [activity retain];
#endif
    }
}

} // namespace quern
