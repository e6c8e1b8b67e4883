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

if(EXISTS ${PROJECT_SOURCE_DIR}/tests/wine/CMakeLists.txt AND VELA_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/wine)
endif()
