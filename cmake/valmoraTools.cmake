# valmora_tool(name): the program tools/<name>/*.c (or .cpp), linked with the
# shared library, built at the top of the build tree and installed into the
# binary directory, where the relative run path of the top-level
# CMakeLists.txt (CMAKE_INSTALL_RPATH) finds the library.
function(valmora_tool name)
  file(GLOB sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tools/${name}/*.c ${PROJECT_SOURCE_DIR}/tools/${name}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE valmora m)
  target_compile_options(${name} PRIVATE ${VALMORA_WARNINGS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
