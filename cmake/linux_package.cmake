# The Debian package (CPack): libvela3ro.so, libvela3ro-pkcs11.so with its
# p11-kit module file (p11-kit-aware programs find the card with no
# configuration), vela3ro-tool and an example /etc/vela3ro/registry.reg.
#   cpack --config build/linux/CPackConfig.cmake -B build/linux/package
set(VELA_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
install(TARGETS vela3ro LIBRARY DESTINATION ${VELA_LIBDIR})
if(TARGET vela3ro-pkcs11)
  # p11-kit's module folder; the module finds libvela3ro.so one folder up.
  install(TARGETS vela3ro-pkcs11 LIBRARY DESTINATION ${VELA_LIBDIR}/pkcs11)
  install(FILES ${PROJECT_SOURCE_DIR}/pkcs11/vela3ro.module DESTINATION share/p11-kit/modules)
endif()
if(TARGET vela3ro-tool)
  install(TARGETS vela3ro-tool RUNTIME DESTINATION bin)
  # Its manual page, made from its --help.
  set(VELA_MANPAGE ${PROJECT_BINARY_DIR}/doc/vela3ro-tool.1.gz)
  add_custom_command(OUTPUT ${VELA_MANPAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/manpage.sh $<TARGET_FILE:vela3ro-tool> ${PROJECT_VERSION} ${VELA_MANPAGE}
    DEPENDS vela3ro-tool ${PROJECT_SOURCE_DIR}/cmake/manpage.sh VERBATIM)
  install(FILES ${VELA_MANPAGE} DESTINATION share/man/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/install/linux/registry.reg DESTINATION /etc/vela3ro)
# What Debian asks of every package: the changelog (gzipped, no timestamp) and
# the copyright file; and the reasons for what its checker, lintian, would
# otherwise report (install/linux/lintian-overrides).
set(VELA_CHANGELOG ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${VELA_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/install/linux/changelog ${VELA_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/install/linux/changelog VERBATIM)
add_custom_target(vela3ro-package-docs ALL DEPENDS ${VELA_CHANGELOG} ${VELA_MANPAGE})
install(FILES ${VELA_CHANGELOG} ${PROJECT_SOURCE_DIR}/install/linux/copyright DESTINATION share/doc/vela3ro)
install(FILES ${PROJECT_SOURCE_DIR}/install/linux/lintian-overrides DESTINATION share/lintian/overrides
  RENAME vela3ro)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vela3ro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Norvantis Support <support@norvantis.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VELA generation-3 smart cards, read-only: minidriver, PKCS#11 module, tool")
set(CPACK_PACKAGE_DESCRIPTION "The read-only minidriver for VELA generation-3 cards on pcscd,
the PKCS#11 module that brings the card to pkcs11-tool, p11tool,
OpenSSL, OpenSSH and Firefox (registered with p11-kit), and
vela3ro-tool, its diagnostics.")
# Absolute destinations (/etc) go below the package root, never the machine's.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libpcsclite1, libssl3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd, p11-kit")
# No maintainer scripts: the linker's cache is renewed by the ldconfig trigger,
# which dpkg runs after this package's install or removal is complete, so that
# an ldconfig that fails cannot leave the package half removed.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/install/linux/conffiles ${PROJECT_SOURCE_DIR}/install/linux/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
