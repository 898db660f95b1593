# Installation in the Debian places and the Debian package.
#
#   cmake --install build [--prefix /usr]   the programs, udev rule, service, man page, examples
#   make deb                                 build-deb/epdshow_<version>_<arch>.deb (CPack)
#
# Everything lands under the prefix given at install time, except the sample playlist, which
# goes to /etc/epdshow when the prefix is /usr (PREFIX/etc/epdshow otherwise). The service
# unit and the installed example playlists name the installed paths, so they are written at
# install time, when the prefix is known: a package built from any build folder installs under
# /usr.
include(GNUInstallDirs)

install(TARGETS epdshow epdshow-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# udev and systemd read these folders under /usr/local too.
install(FILES packaging/60-epdshow.rules DESTINATION lib/udev/rules.d)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The licence, in Debian's machine-readable format, and the package's changelog, compressed as
# Debian keeps it.
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(epdshow_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(
    OUTPUT ${epdshow_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${epdshow_changelog}
    DEPENDS packaging/changelog
    VERBATIM)
add_custom_target(epdshow_changelog ALL DEPENDS ${epdshow_changelog})
install(FILES ${epdshow_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/images DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The page that shows a status folder, for the user to copy into it.
install(FILES examples/status.html DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The man page, compressed as Debian keeps them; epdshow-sim shares it.
set(epdshow_man_page ${CMAKE_CURRENT_BINARY_DIR}/packaging/epdshow.1.gz)
add_custom_command(
    OUTPUT ${epdshow_man_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/epdshow.1 > ${epdshow_man_page}
    DEPENDS packaging/epdshow.1
    VERBATIM)
add_custom_target(epdshow_man ALL DEPENDS ${epdshow_man_page})
install(FILES ${epdshow_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The files that name installed paths: the service, the sample playlist and the examples.
file(GLOB epdshow_example_playlists CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/examples/*.xml)
install(CODE "
set(epdshow_source_dir \"${CMAKE_CURRENT_SOURCE_DIR}\")
set(epdshow_staging_dir \"${CMAKE_CURRENT_BINARY_DIR}/packaging/staging\")
set(epdshow_example_playlists \"${epdshow_example_playlists}\")
set(epdshow_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(epdshow_mandir \"${CMAKE_INSTALL_MANDIR}\")
set(epdshow_docdir \"${CMAKE_INSTALL_DOCDIR}\")
")
install(CODE [==[
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
    set(epdshow_etc "/etc")
else()
    set(epdshow_etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(EPDSHOW_BIN_DIR "${CMAKE_INSTALL_PREFIX}/${epdshow_bindir}")
set(EPDSHOW_ETC_DIR "${epdshow_etc}")
set(EPDSHOW_EXAMPLE_IMAGES "${CMAKE_INSTALL_PREFIX}/${epdshow_docdir}/examples/images")

# Each install writes its own copies: installs with other prefixes may run at the same time.
string(RANDOM LENGTH 12 epdshow_run)
set(epdshow_out "${epdshow_staging_dir}/${epdshow_run}")
file(MAKE_DIRECTORY "${epdshow_out}")

configure_file("${epdshow_source_dir}/packaging/epdshow.service.in"
               "${epdshow_out}/epdshow.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${epdshow_out}/epdshow.service")

# The examples play from any folder: their image folder becomes the installed one.
foreach(playlist IN LISTS epdshow_example_playlists)
    get_filename_component(name "${playlist}" NAME)
    file(READ "${playlist}" text)
    string(REGEX REPLACE "<image_path>[^<]*</image_path>"
           "<image_path>${EPDSHOW_EXAMPLE_IMAGES}/</image_path>" text "${text}")
    file(WRITE "${epdshow_out}/${name}" "${text}")
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${epdshow_docdir}/examples" TYPE FILE
         FILES "${epdshow_out}/${name}")
endforeach()

# A playlist already in place is the administrator's: it stays as it is.
configure_file("${epdshow_source_dir}/packaging/playlist.xml.in"
               "${epdshow_out}/playlist.xml" @ONLY)
if(EXISTS "$ENV{DESTDIR}${epdshow_etc}/epdshow/playlist.xml")
    message(STATUS "Keeping: $ENV{DESTDIR}${epdshow_etc}/epdshow/playlist.xml")
else()
    file(INSTALL DESTINATION "${epdshow_etc}/epdshow" TYPE FILE
         FILES "${epdshow_out}/playlist.xml")
endif()

# The log rotation, which tells the running tool by SIGHUP.
file(INSTALL DESTINATION "${epdshow_etc}/logrotate.d" TYPE FILE
     FILES "${epdshow_source_dir}/packaging/epdshow.logrotate" RENAME epdshow)

file(CREATE_LINK epdshow.1.gz
     "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${epdshow_mandir}/man1/epdshow-sim.1.gz" SYMBOLIC)
file(REMOVE_RECURSE "${epdshow_out}")
]==])

# --- the Debian package
#
# It installs under /usr whatever prefix the build folder was configured with (cmake's default is
# /usr/local, which no Debian package may use): CPack installs the project again with the prefix
# /usr. Another prefix given to cpack is refused (packaging/cpack_options.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME epdshow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The package's own revision: the version of the changelog's latest entry is VERSION-REVISION.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/cpack_options.cmake)
set(CPACK_PACKAGE_CONTACT "epdshow maintainers <maintainers@users.noreply.c-seed-0c31a637.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "slide show on an e-paper panel driven by USB controllers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "epdshow plays an XML playlist of pictures, unattended, on one large e-paper
panel driven by two or four e-paper display controllers on USB (vendor
0x048D), each driving one band of the panel. It comes with a systemd service,
a udev rule that lets it run without root, and epdshow-sim, which previews a
playlist on a virtual panel.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, systemd")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The sample playlist goes to /etc, outside the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
