# Taking an upload's archives apart in memory, one level at a time: a library
# of its own that needs nothing but libarchive, for the analysis to link.
find_package(LibArchive REQUIRED)

add_library(service_archive_reader STATIC ${CMAKE_CURRENT_LIST_DIR}/archive_reader.cpp)
target_include_directories(service_archive_reader PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(service_archive_reader PRIVATE LibArchive::LibArchive)
brantwicker_warnings(service_archive_reader)
