# zstd for compressed copies and patches: Debian's libzstd-dev natively, the
# static library of KORVEL_ZSTD_WIN64 for Windows (see mingw-w64.cmake).
# korvel_zstd is the code both the publisher's tool and the updater use.
find_package(zstd 1.4.5 REQUIRED CONFIG)
if(TARGET zstd::libzstd_shared)
    set(korvel_zstd_library zstd::libzstd_shared)
else()
    set(korvel_zstd_library zstd::libzstd_static)
endif()

add_library(korvel_zstd STATIC
    ${PROJECT_SOURCE_DIR}/transfer/filemap.cpp
    ${PROJECT_SOURCE_DIR}/transfer/filemap.h
    ${PROJECT_SOURCE_DIR}/transfer/zstdpatch.cpp
    ${PROJECT_SOURCE_DIR}/transfer/zstdpatch.h
)
target_include_directories(korvel_zstd PUBLIC ${PROJECT_SOURCE_DIR}/transfer)
target_link_libraries(korvel_zstd PUBLIC Qt5::Core PRIVATE ${korvel_zstd_library})
target_compile_definitions(korvel_zstd PUBLIC ${korvel_string_checks})
