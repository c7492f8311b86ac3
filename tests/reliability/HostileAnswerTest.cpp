// Hostile answers from the local galvoria service, each through Network: nested deeper than any
// stack allows, objects wide enough to make a per-member search quadratic, and bodies as long as the
// client accepts, decoded or refused in a time and a memory only a quadratic or a copying path would
// exceed (generous bounds; bench/ measures performance). The decoder's own limits: JsonDecodingTest.

#include <sys/resource.h>

#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "platform/Dispatch.hpp"
#include "platform/PreferenceStore.hpp"
#include "service/Network.hpp"
#include "tests/service/ServiceClient.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {
namespace {

constexpr std::size_t mebibyte = std::size_t{1} << 20U;

// The peak resident size of this process so far.
std::size_t peakResidentBytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

struct HostileAnswer {
    const char* label;
    std::function<std::string()> body;  // built when the case runs, not in every test process
    std::size_t members;                // of the decoded map; 0: refused, the map empty
    const char* firstLast;              // accepted: the first and last member names, "a..b"
    const char* limitNamed;             // refused: what the log line says
};
void PrintTo(const HostileAnswer& c, std::ostream* os) { *os << c.label; }

std::vector<HostileAnswer> hostileAnswers() {
    return {
        {"deepListing", [] { return R"({"data": [)" + nested(100'000) + "]}"; }, 0, "",
         "is nested deeper than 512 levels"},
        {"openBracketsToTheCap", [] { return std::string(16 * mebibyte - 1, '['); }, 0, "",
         "is nested deeper than 512 levels"},
        {"wideListing", [] { return R"({"data": [{"id": "t1", "name": "T"}], )" + wideObject(400'000).substr(1); },
         400'001, "data..k399999", nullptr},
        {"longArray", [] { return R"({"data": )" + arrayOf("0", 2 * mebibyte + 1) + "}"; }, 0, "",
         "would take more than 33554536 bytes of memory once decoded"},
    };
}

class HostileAnswers : public ServiceClient, public ::testing::WithParamInterface<HostileAnswer> {
protected:
    void SetUp() override {
        LocalService::SetUp();
        platform::PreferenceStore::setStandardPath(temp_.path() / "preferences.json");
    }

    TempDir temp_;
    std::size_t baselinePeak_ = peakResidentBytes();
};

TEST_P(HostileAnswers, AreDecodedOrRefusedInBoundedTimeAndMemory) {
    const auto& answer = GetParam();
    server().setFault("teams", responding(200, answer.body()));
    const auto started = std::chrono::steady_clock::now();
    const ServiceResult result = network_.getRequest(network_.baseURL() + "/api/teams", {}, std::string("tok"));
    const auto elapsed = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.map.size(), answer.members);
    if (answer.members > 0) {
        EXPECT_EQ(result.map.begin().key() + ".." + std::prev(result.map.end()).key(), answer.firstLast);
    } else {
        const auto lines = log_.lines(platform::log::Channel::standardOutput);
        ASSERT_EQ(lines.size(), 1U);
        EXPECT_NE(lines[0].find(std::string("the body ") + answer.limitNamed), std::string::npos) << lines[0];
    }
    // A per-member search of the wide objects takes minutes; a copy of each level of the deep ones
    // or a container per "[" takes gigabytes.
    EXPECT_LT(elapsed, std::chrono::seconds(sanitizedBuild ? 120 : 30));
    if (!sanitizedBuild) {
        EXPECT_LT(peakResidentBytes() - baselinePeak_, 400 * mebibyte);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, HostileAnswers, ::testing::ValuesIn(hostileAnswers()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace galvoria::testing
