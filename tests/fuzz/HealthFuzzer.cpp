// libFuzzer target: untrusted bytes of the agent's health file through parseHealth, readHealthFile
// and the status derivation that consumes the record.
#include "FuzzCheck.h"

#include "platform/Utf8.h"
#include "status/AgentState.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace quern;

// Every this many inputs, the bytes also go through a real file and readHealthFile.
constexpr unsigned kFileEvery = 8;

// An unlinked temporary file, reopened by readHealthFile through /proc; nothing is left behind.
int fileFd = -1;
std::string filePath;

void openScratchFile() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quern-health-fuzz-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return;
    ::unlink(pattern.c_str());
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    static constexpr std::string_view probe = R"({"probe": 1})";
    // Without /proc the file round trip is skipped rather than reported as a fault.
    if (::pwrite(fd, probe.data(), probe.size(), 0) != static_cast<ssize_t>(probe.size()) ||
        readHealthFile(path).empty()) {
        ::close(fd);
        return;
    }
    fileFd = fd;
    filePath = path;
}

bool writeScratchFile(std::string_view bytes) {
    if (::ftruncate(fileFd, 0) != 0)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fileFd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The same top-level members with the same meaning; deliberately not operator==, which recurses
// and would exhaust the stack on deeply nested input that the client itself handles fine.
bool sameRecord(const HealthRecord& a, const HealthRecord& b) {
    if (a.size() != b.size() || serverOkTime(a) != serverOkTime(b) || isBusy(a) != isBusy(b))
        return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
        const auto other = b.find(it.key());
        if (other == b.end() || other->type() != it->type())
            return false;
    }
    return true;
}

void checkDerivation(const HealthRecord& health) {
    const double okAt = serverOkTime(health);
    FUZZ_REQUIRE(!std::isnan(okAt)); // JSON has no NaN
    const bool busy = isBusy(health);
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double big = std::numeric_limits<double>::max();
    const std::array<double, 13> nows = {0.0,
                                         -1.0,
                                         1'800'000'000.0,
                                         okAt,
                                         okAt - 1.0,
                                         okAt + 11.5,
                                         okAt + 12.0,
                                         okAt + 1e9,
                                         big,
                                         -big,
                                         inf,
                                         -inf,
                                         std::numeric_limits<double>::quiet_NaN()};
    for (const bool loaded : {false, true}) {
        for (const double now : nows) {
            const StatusDerivation status = deriveStatus(loaded, now, health);
            FUZZ_REQUIRE(status.state == AgentState::online || status.state == AgentState::running ||
                         status.state == AgentState::stopped);
            FUZZ_REQUIRE(!status.detail.empty());
            FUZZ_REQUIRE(isValidUtf8(status.detail));
            FUZZ_REQUIRE(!title(status.state).empty());
            if (!loaded) {
                FUZZ_REQUIRE(status.state == AgentState::stopped && status.detail == kDetailStarting);
            } else if (status.state == AgentState::online) {
                FUZZ_REQUIRE(okAt > 0.0);
                FUZZ_REQUIRE(status.detail == (busy ? kDetailBusy : kDetailIdle));
            } else {
                FUZZ_REQUIRE(status.state == AgentState::running && status.detail == kDetailReconnecting);
            }
        }
    }
    // At the very moment of a positive, finite confirmation the agent is online.
    if (okAt > 0.0 && std::isfinite(okAt))
        FUZZ_REQUIRE(deriveStatus(true, okAt, health).state == AgentState::online);
    if (okAt <= 0.0)
        FUZZ_REQUIRE(deriveStatus(true, 1'800'000'000.0, health).state == AgentState::running);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    openScratchFile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const HealthRecord health = parseHealth(bytes);
    FUZZ_REQUIRE(health.is_object());

    // Whatever strict JSON accepted was valid UTF-8 from the first byte to the last.
    const bool accepted = nlohmann::json::accept(bytes.begin(), bytes.end(), false);
    if (!health.empty()) {
        FUZZ_REQUIRE(accepted);
        FUZZ_REQUIRE(isValidUtf8(bytes));
        // A strict JSON object: "{" ... "}" with nothing but JSON whitespace around it, and no raw
        // NUL byte anywhere (inside strings it must be escaped).
        constexpr std::string_view space = " \t\n\r";
        const std::size_t first = bytes.find_first_not_of(space);
        const std::size_t last = bytes.find_last_not_of(space);
        FUZZ_REQUIRE(first != std::string_view::npos && bytes[first] == '{' && bytes[last] == '}');
        FUZZ_REQUIRE(bytes.find('\0') == std::string_view::npos);
    }
    FUZZ_REQUIRE(isValidUtf8(bytes) == fuzz::referenceUtf8(bytes));
    if (fuzz::isAscii(bytes))
        FUZZ_REQUIRE(isValidUtf8(bytes));
    // parseHealth and a plain strict accept agree: what strict JSON refuses gives the empty record.
    if (!accepted)
        FUZZ_REQUIRE(health.empty());

    checkDerivation(health);

    static unsigned count = 0;
    if (fileFd >= 0 && ++count % kFileEvery == 0 && writeScratchFile(bytes)) {
        const HealthRecord fromFile = readHealthFile(filePath);
        FUZZ_REQUIRE(fromFile.is_object());
        if (size > kHealthFileLimit)
            FUZZ_REQUIRE(fromFile.empty());
        else
            FUZZ_REQUIRE(sameRecord(fromFile, health));
    }
    return 0;
}
