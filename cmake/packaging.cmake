# What `cmake --install` puts where, and the packages `cpack` makes from it
# (in <build>/packages): a zip for Windows, a Debian package on Debian and
# its relatives, a tarball elsewhere.
#
# Windows: one folder with the programs, README.TXT, COMPORTS.TXT and
# LICENSE.TXT. Elsewhere: the programs in bin, their manual pages in man1,
# the README in the documentation folder, and there the licence: for the
# Debian package as Debian's copyright file (with the package's changelog and
# the lintian overrides beside it), else as LICENSE.
set(K210_PACKAGE_CONTACT "k210prog maintainers <k210prog@example.invalid>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # One folder: the programs, and the texts with CR LF so Notepad shows them.
  install(TARGETS k210prog bsl RUNTIME DESTINATION .)
  foreach(text README.md:README.TXT packaging/COMPORTS.TXT:COMPORTS.TXT LICENSE:LICENSE.TXT)
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
  find_program(K210_DPKG dpkg)
  find_program(K210_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(K210_GZIP gzip)
  if(K210_DPKG AND NOT K210_GZIP)
    message(FATAL_ERROR "The Debian package needs gzip for its manual pages and changelog")
  endif()

  # Compresses a file as Debian's policy asks: gzip -9n, the best compression
  # and no name or time stamp, so the same text always gives the same bytes.
  function(k210_gzip from to)
    execute_process(COMMAND ${K210_GZIP} -9n -c ${from} OUTPUT_FILE ${to} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip ${from}: ${failed}")
    endif()
  endfunction()

  install(TARGETS k210prog bsl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The manual pages, compressed where gzip is there (man reads both).
  foreach(page k210prog.1 BSL.EXE.1)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/${page})
    if(K210_GZIP)
      file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
      k210_gzip(${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page}.gz)
      install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
      install(FILES man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()

  if(K210_DPKG)
    set(debian ${CMAKE_BINARY_DIR}/debian)
    file(MAKE_DIRECTORY ${debian})
    # Debian's copyright file, in its machine-readable format, made from
    # LICENSE: the copyright line and the licence's terms.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in)
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright_line "${license}")
    set(copyright "${CMAKE_MATCH_1}")
    string(FIND "${license}" "Permission is hereby granted" terms_start)
    if(NOT copyright OR terms_start LESS 0)
      message(FATAL_ERROR "LICENSE: no copyright line, or not the MIT licence's terms")
    endif()
    string(SUBSTRING "${license}" ${terms_start} -1 terms)
    string(STRIP "${terms}" terms)
    string(REPLACE "\n\n" "\n.\n" terms "${terms}")
    string(REPLACE "\n" "\n " terms "${terms}")
    file(WRITE ${debian}/copyright.new
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: ${PROJECT_NAME}\n"
      "\n"
      "Files: *\n"
      "Copyright: ${copyright}\n"
      "License: Expat\n"
      " ${terms}\n")
    configure_file(${debian}/copyright.new ${debian}/copyright COPYONLY)
    install(FILES ${debian}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # The package's changelog, signed by the maintainer the package names.
    configure_file(packaging/changelog.Debian.in ${debian}/changelog.Debian @ONLY)
    k210_gzip(${debian}/changelog.Debian ${debian}/changelog.Debian.gz)
    install(FILES ${debian}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # The lintian warnings that stay, each with its reason.
    install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME ${PROJECT_NAME})
    set(CPACK_GENERATOR DEB)
  else()
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
