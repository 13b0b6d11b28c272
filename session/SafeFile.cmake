# The safe file writer (standard C++ and POSIX only), its own small library so
# that every front-end and the session layer can link it. Included from the
# top CMakeLists.txt.
add_library(kestova_safefile STATIC ${CMAKE_CURRENT_LIST_DIR}/SafeFile.cpp)
target_include_directories(kestova_safefile PUBLIC ${KESTOVA_SOURCE_DIR})
