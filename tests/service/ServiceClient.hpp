#pragma once
// A fixture for the service client against the in-process local service: its own preference file,
// the typed preferences over it, a `Network` on the service's origin, a thread serving the main
// queue (the client hands every answer to it) and the captured log.

#include "platform/Dispatch.hpp"
#include "platform/PreferenceStore.hpp"
#include "service/Network.hpp"
#include "tests/service/LocalService.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {

class ServiceClient : public LocalService {
protected:
    TempDir storeDir_;
    platform::PreferenceStore store_{storeDir_.path() / "preferences.json"};
    Preferences preferences_{store_};
    Network network_{preferences_, server().origin()};
    platform::MainQueueThread mainQueue_;
    LogCapture log_;
};

}  // namespace galvoria::testing
