# What `cmake --install` puts where, and the packages `cpack` makes from it
# (in <build>/packages): a zip for Windows, a Debian package on Debian and
# its relatives, a tarball elsewhere.
set(K210_PACKAGE_CONTACT "k210prog maintainers <k210prog@example.invalid>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # One folder: the programs, and the texts with CR LF so Notepad shows them.
  install(TARGETS k210prog bsl RUNTIME DESTINATION .)
  foreach(text README.md:README.TXT packaging/COMPORTS.TXT:COMPORTS.TXT)
    string(REPLACE ":" ";" text ${text})
    list(GET text 0 from)
    list(GET text 1 to)
    file(READ ${PROJECT_SOURCE_DIR}/${from} content)
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${CMAKE_BINARY_DIR}/windows/${to} "${content}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${from})
    install(FILES ${CMAKE_BINARY_DIR}/windows/${to} DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  include(GNUInstallDirs)
  install(TARGETS k210prog bsl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  find_program(K210_DPKG dpkg)
  find_program(K210_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(K210_DPKG)
    set(CPACK_GENERATOR DEB)
  else()
    set(CPACK_GENERATOR TGZ)
  endif()
endif()

set(CPACK_PACKAGE_CONTACT "${K210_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the K210 portable gas analyzer")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "k210prog updates the firmware of a K210 portable gas analyzer over a serial
line without losing the analyzer's settings: it saves them, runs the
bootstrap-loader programmer BSL.EXE (included) with the right firmware
image, and writes the settings back to older units.")
if(K210_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
