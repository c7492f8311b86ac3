# Fails when a file includes from a folder its layer may not use. Run by ctest:
#   cmake -DSOURCE_DIR=<repository> -P CheckLayers.cmake
#
# Layers, bottom to top: framework, platform -> vocabulary -> service -> settings, publishing -> plugin.
# A folder may include from itself and from the folders listed for it, nothing else of the
# repository. The host never links plugin code: of vocabulary/ it reads only the headers of
# constants. tests/, bench/ and fuzz/ are free and not scanned.

cmake_minimum_required(VERSION 3.25)

set(ALLOWED_framework "")
set(ALLOWED_platform "")
set(ALLOWED_vocabulary framework platform)
set(ALLOWED_service framework platform vocabulary)
set(ALLOWED_settings framework platform vocabulary service)
set(ALLOWED_publishing framework platform vocabulary service)
set(ALLOWED_plugin framework platform vocabulary service settings publishing)
set(ALLOWED_resources "")
set(ALLOWED_host framework platform vocabulary/ItemIdentifiers.hpp vocabulary/PreferenceKeys.hpp)
set(ALLOWED_devserver "")
set(CHECKED framework platform vocabulary service settings publishing plugin resources host devserver)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

# Every folder at the top of the repository is a name an include may reach into.
file(GLOB top_entries RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
set(repository_folders "")
foreach(entry ${top_entries})
  if(IS_DIRECTORY ${SOURCE_DIR}/${entry} AND NOT entry MATCHES "^(\\.|build)")
    list(APPEND repository_folders ${entry})
  endif()
endforeach()

set(violations "")
foreach(folder ${CHECKED})
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.hpp ${SOURCE_DIR}/${folder}/*.h)
  foreach(source ${sources})
    file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
      string(REGEX MATCH "^[^/]+" target "${included}")
      if(NOT included MATCHES "/" OR target STREQUAL folder OR NOT target IN_LIST repository_folders)
        continue()
      endif()
      if(target IN_LIST ALLOWED_${folder} OR included IN_LIST ALLOWED_${folder})
        continue()
      endif()
      list(APPEND violations "${source} includes \"${included}\"")
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " listed)
  message(FATAL_ERROR "Includes against the direction of the layers:\n  ${listed}")
endif()
message(STATUS "Every include points down the layers.")
