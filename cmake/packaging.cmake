# Installation layout and the Debian package.
#
# The top level installs the chipfeed program itself; this file adds the
# simulated chip, the manual pages and the README, and sets up CPack:
#
#   cmake --build build && cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)        # -> chipfeed_<version>_<arch>.deb
include(GNUInstallDirs)

if(TARGET chipsim)
  install(TARGETS chipsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages go in compressed, as Debian's man expects them; where gzip is
# missing they are installed as they are (man reads both).
set(CHIPFEED_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/doc/chipfeed.1)
if(TARGET chipsim AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/doc/chipsim.1)
  list(APPEND CHIPFEED_MAN_PAGES ${CMAKE_CURRENT_SOURCE_DIR}/doc/chipsim.1)
endif()
find_program(CHIPFEED_GZIP gzip)
if(CHIPFEED_GZIP AND NOT WIN32)
  set(compressed_pages)
  foreach(page ${CHIPFEED_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
    # -n: no name or time stamp inside, so the package is reproducible.
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${CHIPFEED_GZIP} -9 -n -c ${page} > ${out}
      DEPENDS ${page}
      COMMENT "Compressing manual page ${name}"
      VERBATIM)
    list(APPEND compressed_pages ${out})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${compressed_pages})
  install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${CHIPFEED_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- CPack ----
set(CPACK_PACKAGE_NAME chipfeed)
set(CPACK_PACKAGE_VENDOR "chipfeed developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "download program images into Propeller microcontrollers over a serial line")
set(CPACK_PACKAGE_CONTACT "chipfeed developers <chipfeed-dev@lists.chipfeed.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY chipfeed)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_FILE_NAME "chipfeed-${PROJECT_VERSION}")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The long description; CPack puts the summary line above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "chipfeed finds a Propeller chip on a serial port through the chip's ROM boot
loader, prints its hardware version, and loads a program image into its RAM
or programs it into its EEPROM. The chip is reset through the port's DTR
line or through a sysfs GPIO pin. Exit status 0 means the chip accepted the
image, 217 any failure.
.
The package also holds chipsim, a simulated chip on a pseudo-terminal for
trying chipfeed and scripts built on it without hardware.")
  # Library dependencies from the binaries themselves where dpkg-shlibdeps is
  # there to work them out; otherwise the libraries a GCC 12 build links.
  find_program(CHIPFEED_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(CHIPFEED_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
  endif()
endif()

include(CPack)
