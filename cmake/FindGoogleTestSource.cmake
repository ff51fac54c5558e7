# Finds GoogleTest's sources, to be built with the project's own compiler and flags (a
# prebuilt library would lack the sanitizers and cannot serve the mingw-w64 build).
# Looked for under the system's prefixes (Debian's googletest package puts them in
# <prefix>/src/googletest); -DGoogleTestSource_DIR=... names another copy.
#   GoogleTestSource_DIR   the folder whose CMakeLists.txt builds gtest and gtest_main
find_path(GoogleTestSource_DIR
  NAMES googletest/CMakeLists.txt
  PATH_SUFFIXES src/googletest
  # The sources are the host's, also when cross-compiling.
  NO_CMAKE_FIND_ROOT_PATH
  DOC "GoogleTest's source folder")
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(GoogleTestSource REQUIRED_VARS GoogleTestSource_DIR)
