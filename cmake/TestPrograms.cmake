# quarvel_needs_library_program(NAME): a program whose library the system's loader cannot find, as a launcher
# carried without one of its libraries would be. On Linux it is built without a search path to the library; on
# Windows the DLL goes to a folder of its own, which is not searched.
function(quarvel_needs_library_program name)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}-lib.cpp "int neededValue() { return 0; }\n")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp "int neededValue();\nint main() { return neededValue(); }\n")
  add_library(${name}-lib SHARED ${CMAKE_CURRENT_BINARY_DIR}/${name}-lib.cpp)
  set_target_properties(${name}-lib PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/elsewhere)
  add_executable(${name} ${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE ${name}-lib)
  set_target_properties(${name} PROPERTIES SKIP_BUILD_RPATH TRUE)
endfunction()
