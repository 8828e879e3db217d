# libFuzzer targets (configure with clang and -DQUELLOADER_FUZZ=ON; see
# tools/fuzz.sh), read by the top CMakeLists.txt after all other targets.
# Each target links the fuzzing engine's main.
function(quelloader_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  list(TRANSFORM F_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/ REGEX "^[^/]")
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE quelloader_core quelloader_warnings ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

quelloader_fuzz_target(hex_loader_fuzz SOURCES hex_loader_fuzz.cpp)
quelloader_fuzz_target(exchange_fuzz SOURCES exchange_fuzz.cpp)

# The window's Settings.ini store and path shortening are plain C++:
# their fuzzers link that small library, without the window.
if(TARGET quelloader_settings)
  quelloader_fuzz_target(settings_ini_fuzz SOURCES settings_ini_fuzz.cpp LIBS quelloader_settings)
  quelloader_fuzz_target(path_fit_fuzz SOURCES path_fit_fuzz.cpp LIBS quelloader_settings)
else()
  message(STATUS "The window's settings library is not built: no fuzz targets for Settings.ini and path shortening")
endif()

# The command line's machine-readable outputs and its numbers; the outputs'
# lines are read back with nlohmann-json (as their unit tests do).
if(TARGET quelloader_cli_lib)
  find_package(nlohmann_json 3 CONFIG REQUIRED)
  quelloader_fuzz_target(production_log_fuzz SOURCES production_log_fuzz.cpp json_line_check.cpp
    LIBS quelloader_cli_output nlohmann_json::nlohmann_json)
  quelloader_fuzz_target(json_events_fuzz SOURCES json_events_fuzz.cpp json_line_check.cpp
    LIBS quelloader_cli_output nlohmann_json::nlohmann_json)
  # The reading of the lines: sanitized, but no coverage, so that new coverage
  # means a new path through the writer.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/json_line_check.cpp
    TARGET_DIRECTORY production_log_fuzz json_events_fuzz
    PROPERTIES COMPILE_OPTIONS "-fno-sanitize=fuzzer-no-link")
  quelloader_fuzz_target(number_syntax_fuzz SOURCES number_syntax_fuzz.cpp LIBS quelloader_cli_lib)
else()
  message(STATUS "quelloader-cli is not built: no fuzz targets for its outputs and numbers")
endif()
