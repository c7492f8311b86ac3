# The fuzz checks as a library: linked by the fuzzing programs and by the test that replays every
# kept input in ordinary builds.
if(NOT TARGET galvoria_fuzz_checks)
  add_library(galvoria_fuzz_checks STATIC
    ${PROJECT_SOURCE_DIR}/fuzz/ListingMapping.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/UploadForm.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/DriveRequestLines.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/PreferenceFile.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/Targets.cpp)
  target_link_libraries(galvoria_fuzz_checks PUBLIC
    galvoria_publishing galvoria_service galvoria_drive_request coplatform)
endif()
