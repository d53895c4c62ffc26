#include "app/AppDelegate.h"

namespace quern {

HealthRecord AppDelegate::readHealth() const {
    return readHealthFile(healthFile());
}

} // namespace quern
