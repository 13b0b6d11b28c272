# SPDX-License-Identifier: GPL-3.0-or-later
# The HEIF/AVIF reader (imaging/HeifDecode.*): standard C++ over libheif, no
# Qt, so the core-only builds (sanitizers, fuzzing) can test it too.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBHEIF REQUIRED IMPORTED_TARGET libheif)
add_library(kestova_heif STATIC ${CMAKE_CURRENT_LIST_DIR}/HeifDecode.cpp)
target_include_directories(kestova_heif PUBLIC ${KESTOVA_SOURCE_DIR})
target_link_libraries(kestova_heif PUBLIC PkgConfig::LIBHEIF)
