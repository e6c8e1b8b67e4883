# The product: vela3ro.dll, importing system DLLs only.
enable_language(RC)

# The export is undecorated on both architectures; on x86 the __stdcall symbol
# is CardAcquireContext@8, which the x86 .def file names explicitly.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELA_DEF_FILE ${PROJECT_SOURCE_DIR}/platform/vela3ro_x86.def)
else()
  set(VELA_DEF_FILE ${PROJECT_SOURCE_DIR}/platform/vela3ro.def)
endif()
add_library(vela3ro SHARED $<TARGET_OBJECTS:vela3ro_core> ${VELA_PLATFORM_WINDOWS} ${VELA_DEF_FILE})
# The version block takes the project version from a generated header.
configure_file(${PROJECT_SOURCE_DIR}/resources/vela3ro_version.h.in
  ${PROJECT_BINARY_DIR}/generated/vela3ro_version.h @ONLY)
file(GLOB VELA_RESOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/*.rc)
target_sources(vela3ro PRIVATE ${VELA_RESOURCES})
target_include_directories(vela3ro PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
set_target_properties(vela3ro PROPERTIES PREFIX "" OUTPUT_NAME vela3ro)
target_link_options(vela3ro PRIVATE -static-libgcc -static-libstdc++ -static -Wl,--no-undefined)
target_link_libraries(vela3ro PRIVATE winscard advapi32 user32 bcrypt)

# The DLL ships stripped. Its debug information (compiled in with -g, which
# leaves the code as it is) goes to vela3ro.dll.debug beside it, which the DLL
# names with a checksum (.gnu_debuglink), so a crash address can be resolved.
target_compile_options(vela3ro_core PRIVATE -g)
target_compile_options(vela3ro PRIVATE -g)
add_custom_command(TARGET vela3ro POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:vela3ro> $<TARGET_FILE:vela3ro>.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE:vela3ro>.debug $<TARGET_FILE:vela3ro>
  VERBATIM)

# vela3ro-tool.exe, the administrator's check, for each architecture: each
# MSI installs its own.
add_subdirectory(${PROJECT_SOURCE_DIR}/host ${PROJECT_BINARY_DIR}/host)
add_subdirectory(${PROJECT_SOURCE_DIR}/tool ${PROJECT_BINARY_DIR}/tool)

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/CMakeLists.txt AND VELA_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/wine)
endif()
