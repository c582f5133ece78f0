# The Windows DLL: audioenhancer.dll, its import library, and a .def naming
# the five exports for hosts that make their own import library (lib.exe).
# Included from the top-level CMakeLists.txt when building for Windows.
set(AE_DEF ${CMAKE_BINARY_DIR}/audioenhancer.def)
set_target_properties(audioenhancer PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
# Only the functions marked AUDIOENHANCER_API are exported; nothing from the
# static core or the runtime libraries is.
target_link_libraries(audioenhancer PRIVATE
  -Wl,--whole-archive audioenhancer_core -Wl,--no-whole-archive ${AE_DEP_TARGETS}
  -Wl,--exclude-all-symbols -Wl,--output-def,${AE_DEF} -Wl,--no-undefined)
# The core is only ever linked statically (into the DLL and the tests), so
# its declarations are the defining ones everywhere it is used.
target_compile_definitions(audioenhancer_core PUBLIC AUDIOENHANCER_BUILD)

# The DLLs the library imports sit beside it and beside every program that
# loads it: Windows looks for them in the program's own directory.
if(AE_WIN64_PREFIX)
  file(GLOB AE_RUNTIME_DLLS ${AE_WIN64_PREFIX}/bin/*.dll)
  add_custom_target(ae_runtime_dlls ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${AE_RUNTIME_DLLS} ${CMAKE_BINARY_DIR}
    COMMENT "Copying the dependency DLLs beside audioenhancer.dll")
  add_dependencies(audioenhancer ae_runtime_dlls)
  install(FILES ${AE_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
