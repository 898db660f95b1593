# Read by cpack before it makes a package. A Debian package installs under /usr: the service,
# the udev rule, the sample playlist in /etc and the log rotation are only read there.
if(NOT CPACK_INSTALL_PREFIX STREQUAL "/usr" OR NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR
        "epdshow: a Debian package installs under /usr, not under "
        "'${CPACK_INSTALL_PREFIX}' (CPACK_INSTALL_PREFIX) and '${CPACK_PACKAGING_INSTALL_PREFIX}' "
        "(CPACK_PACKAGING_INSTALL_PREFIX). Leave them unset (make deb, or cpack -G DEB in any "
        "build folder); for another prefix use cmake --install BUILD --prefix PREFIX.")
endif()
