# CLI11 and nlohmann-json are header-only: a cross build uses the build
# machine's copies. Only their own folders are put on the include path (never
# /usr/include as a whole, whose C library headers are Linux's).
set(_ql_host_headers ${CMAKE_BINARY_DIR}/host-headers)
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run tools/deps.sh")
  endif()
  file(MAKE_DIRECTORY ${_ql_host_headers})
  file(CREATE_LINK /usr/include/${dir} ${_ql_host_headers}/${dir} SYMBOLIC)
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${_ql_host_headers})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_ql_host_headers})
set(nlohmann_json_FOUND TRUE)
