# The pieces every tool shares, compiled once.
add_library(valmora_toolcommon STATIC ${PROJECT_SOURCE_DIR}/tools/common/gribtool.c)
target_link_libraries(valmora_toolcommon PUBLIC valmora)
target_include_directories(valmora_toolcommon PUBLIC ${PROJECT_SOURCE_DIR}/tools/common)
target_compile_options(valmora_toolcommon PRIVATE ${VALMORA_WARNINGS})

# valmora_tool(name): the program tools/<name>/*.c (or .cpp), linked with the
# shared library, built at the top of the build tree and installed into the
# binary directory, where the relative run path of the top-level
# CMakeLists.txt (CMAKE_INSTALL_RPATH) finds the library.
function(valmora_tool name)
  file(GLOB sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tools/${name}/*.c ${PROJECT_SOURCE_DIR}/tools/${name}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE valmora_toolcommon valmora m)
  target_compile_options(${name} PRIVATE ${VALMORA_WARNINGS})
  # Linked by the C++ driver: the library is C++, and a sanitizer build needs
  # the C++ parts of the sanitizer runtimes even for a C program.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
    LINKER_LANGUAGE CXX)
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
