# quarvel_launcher_variant(NAME [VERSION V] [SERVER URL] [KEY KEYS] [TEST_HOOKS]): a launcher that differs from
# the player's only in its build settings (its version, server address and keys; TEST_HOOKS lets the environment
# end it at a step of a replacement of itself). Only those settings are compiled again, and linked ahead of the
# library's, so the program runs the code that ships.
function(quarvel_launcher_variant name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST_HOOKS" "VERSION;SERVER;KEY" "")
  if(NOT arg_VERSION)
    set(arg_VERSION ${QUARVEL_LAUNCHER_VERSION})
  endif()
  if(NOT arg_SERVER)
    set(arg_SERVER ${QUARVEL_SERVER_URL})
  endif()
  add_executable(${name} ${PROJECT_SOURCE_DIR}/src/app/main.cpp ${PROJECT_SOURCE_DIR}/src/app/BuildSettings.cpp)
  target_link_libraries(${name} PRIVATE quarvel_core)
  target_compile_definitions(${name} PRIVATE QUARVEL_VERSION="${arg_VERSION}" $<$<BOOL:${arg_TEST_HOOKS}>:QUARVEL_TEST_HOOKS>
                             QUARVEL_SERVER_URL="${arg_SERVER}"
                             $<$<BOOL:${arg_KEY}>:QUARVEL_PUBLIC_KEY="${arg_KEY}">)
  # Its keys and server files, for the tests that carry it in a build as quarvel-launcher.keys and .server.
  quarvel_keys_file(${CMAKE_BINARY_DIR}/bin/${name}.keys "${arg_KEY}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bin/${name}.server CONTENT "${arg_SERVER}\n")
  add_dependencies(${name} quarvel-launcher)  # which puts the assets, and on Windows the DLLs, beside it
endfunction()

# The keys file of a launcher built with keys (comma-separated minisign key lines): one line each.
function(quarvel_keys_file path keys)
  string(REPLACE "," "\n" lines "${keys}")
  if(lines)
    string(APPEND lines "\n")
  endif()
  file(GENERATE OUTPUT ${path} CONTENT "${lines}")
endfunction()
