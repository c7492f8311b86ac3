#include "fuzz/FuzzChecks.hpp"

namespace galvoria::fuzz {

const std::vector<Target>& targets() {
    static const std::vector<Target> all = {
        {"listing_mapping", checkListingMapping}, {"creation_result", checkCreationResult},
        {"upload_form", checkUploadForm},         {"drive_request", checkDriveRequest},
        {"preference_file", checkPreferenceFile},
    };
    return all;
}

}  // namespace galvoria::fuzz
