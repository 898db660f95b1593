# The harnesses of the fuzz targets without libFuzzer, for the tests that replay what the fuzzers
# found (tests/fuzz_corpus): each target's entry points are renamed after it, so that one test
# executable holds them all.
set(fuzz_sources ${PROJECT_SOURCE_DIR}/fuzz)
add_library(fuzz_replay STATIC
    ${fuzz_sources}/fuzz_support.cpp
    ${fuzz_sources}/playlist_fuzz.cpp
    ${fuzz_sources}/transport_fuzz.cpp
    ${fuzz_sources}/picture_fuzz.cpp
    ${fuzz_sources}/area_fuzz.cpp)
foreach(target playlist transport picture area)
    set_source_files_properties(${fuzz_sources}/${target}_fuzz.cpp PROPERTIES COMPILE_DEFINITIONS
        "LLVMFuzzerInitialize=${target}_fuzz_initialize;LLVMFuzzerTestOneInput=${target}_fuzz_one_input")
endforeach()
target_include_directories(fuzz_replay PUBLIC ${fuzz_sources})
target_link_libraries(fuzz_replay PUBLIC epdshow_app epdshow_modules epdsim ${OpenCV_LIBS})
