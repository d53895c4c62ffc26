#include "app/AppDelegate.h"

#include "status/HealthFile.h"

namespace quern {

HealthRecord AppDelegate::readHealth() const {
    return readHealthFile(healthFile());
}

} // namespace quern
