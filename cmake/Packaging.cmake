# Manual pages, the package's documents and the Debian package (`cpack -G DEB` in the
# build folder, after the build).

find_program(POSTBELL_GZIP gzip REQUIRED)
set(POSTBELL_PACKAGE_MAINTAINER "Postbell maintainers <postbell@veltrane.example>"
    CACHE STRING "The Debian package's Maintainer field")

set(POSTBELL_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/postbell)

# postbell_install_gzipped(SOURCE NAME DESTINATION): the file as NAME, with @VARIABLES@ filled in,
# compressed the way Debian wants it (best, without name or time stamp) and installed.
function(postbell_install_gzipped source name destination)
  set(plain ${PROJECT_BINARY_DIR}/packaging/${name})
  configure_file(${source} ${plain} @ONLY)
  add_custom_command(OUTPUT ${plain}.gz
    COMMAND ${POSTBELL_GZIP} -9nkf ${plain}
    DEPENDS ${plain}
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY POSTBELL_GZIPPED_FILES ${plain}.gz)
  install(FILES ${plain}.gz DESTINATION ${destination})
endfunction()

postbell_install_gzipped(${PROJECT_SOURCE_DIR}/man/postbell-check.1 postbell-check.1 ${CMAKE_INSTALL_MANDIR}/man1)
if(POSTBELL_DESKTOP)
  postbell_install_gzipped(${PROJECT_SOURCE_DIR}/man/postbell.1 postbell.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()
postbell_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian changelog.Debian ${POSTBELL_PACKAGE_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${POSTBELL_PACKAGE_DOCDIR})

get_property(postbell_gzipped GLOBAL PROPERTY POSTBELL_GZIPPED_FILES)
add_custom_target(postbell_gzipped_files ALL DEPENDS ${postbell_gzipped})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME postbell)
set(CPACK_PACKAGE_VENDOR Veltrane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${POSTBELL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "new-mail notifier for one POP3 mailbox, in the system tray")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${POSTBELL_PACKAGE_MAINTAINER})
# The long description; CPack puts the summary before it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Postbell sits in the desktop's system tray and checks one POP3 mailbox at
start-up and then every 1 to 60 minutes. When the server lists a message it
has not seen before, the tray icon shows a new-mail picture; its window lists
the sender and subject of every message. It never downloads a message body
and never deletes a message.

postbell-check runs the same check once from a terminal or a script.")
# dpkg-shlibdeps (dpkg-dev) finds the libraries: Qt 6 (whose libqt6gui6 ships the xcb
# platform plugin), OpenSSL's libcrypto, SQLite, the C and C++ run-times.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# GNOME shows tray icons only with this extension.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS gnome-shell-extension-appindicator)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
