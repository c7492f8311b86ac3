#pragma once
// A driven host on the built bundle with a fresh preference file, and the local service on the
// bundle's compiled-in port. After each test no secret may have reached the host's log.

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "platform/PreferenceStore.hpp"
#include "tests/service/LocalService.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {

using Json = nlohmann::json;  // replies compared without regard to member order

class ServiceDrive : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<devserver::Server>(
            devserver::ServerOptions{.port = *portOf(GALVORIA_SERVICE_URL), .testMode = true});
        ASSERT_TRUE(server_->start());
        host_ = std::make_unique<DriveSession>(DriveSession::Options{.prefs = dir_.path() / "prefs.json"});
    }
    void TearDown() override {
        if (!host_) return;
        EXPECT_EQ(host_->finish(), 0);
        const std::string log = host_->standardError();
        EXPECT_EQ(log.find(demoPassword), std::string::npos) << "the password reached the log";
        for (std::size_t at = 0; at + 8 <= token_.size(); ++at)
            ASSERT_EQ(log.find(token_.substr(at, 8)), std::string::npos) << "part of the token reached the log";
    }

    platform::PreferenceStore store() const { return platform::PreferenceStore(dir_.path() / "prefs.json"); }
    Json call(const Json& request) { return Json::parse(host_->call(co::Value::parse(request.dump())).dump()); }
    Json preferences() { return call({{"call", "preferences"}})["preferences"]; }
    Requests takeRequests() { return testing::takeRequests(*server_); }

    TempDir dir_;
    std::unique_ptr<devserver::Server> server_;
    std::unique_ptr<DriveSession> host_;
    std::string token_;  // checked against the log at the end
};

}  // namespace galvoria::testing
