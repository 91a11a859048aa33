# What gets installed, and the Debian package made from it with CPack.
# Only the helper, its manual page, README and copyright file are installed:
# the static libraries, tests and benchmarks stay in the build tree.

# Debian ships manual pages and longer documents compressed; -n leaves out the
# name and time, so the same sources give the same package.
set(KESTRANO_MANUAL ${CMAKE_BINARY_DIR}/KestranoRecorder.1.gz)
set(KESTRANO_README ${CMAKE_BINARY_DIR}/README.md.gz)
add_custom_command(OUTPUT ${KESTRANO_MANUAL}
                   COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/KestranoRecorder.1 > ${KESTRANO_MANUAL}
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/KestranoRecorder.1)
add_custom_command(OUTPUT ${KESTRANO_README}
                   COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/README.md > ${KESTRANO_README}
                   DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
add_custom_target(kestrano_documents DEPENDS ${KESTRANO_MANUAL} ${KESTRANO_README})
# Whoever builds the helper for packaging has its documents too.
add_dependencies(KestranoRecorder kestrano_documents)

install(TARGETS KestranoRecorder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KESTRANO_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${KESTRANO_README}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrano-recorder)
set(CPACK_PACKAGE_VENDOR "The KestranoRecorder developers")
set(CPACK_PACKAGE_CONTACT "The KestranoRecorder developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "A helper process that a host application starts as a child and drives over
standard input and output (start PATH, stop). It records one display (H.264):
the first X11 display, or on a Wayland desktop the monitor picked at the
desktop portal's dialog, streamed over PipeWire; with the default output
device's audio and the default microphone (two AAC tracks) into one MP4 file.")
# Debug information is not shipped, whatever the build type.
set(CPACK_STRIP_FILES ON)
# Directories 0755 whatever the umask of whoever builds the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binary itself (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The servers it talks to run outside the package and are often already there
# (or remote, or started by the host), so they are recommended, not required:
# a PulseAudio-compatible sound server; an X server (Xorg on an X session, Xvfb
# on a headless machine) or, on a Wayland session, xdg-desktop-portal with a
# backend that has the ScreenCast interface (GNOME's, KDE's or wlroots'; GTK's
# has none in Debian 12) and the PipeWire daemon the compositor streams
# through. A Recommends group is met by any one of its packages, so the X
# server heads the two Wayland groups: a machine with an X server is not asked
# for the portal and PipeWire, and a bare one gets the X server as before. A
# Wayland desktop has its portal backend and PipeWire already.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pulseaudio | pipewire-pulse, \
xserver-xorg | xvfb | xdg-desktop-portal-gnome | xdg-desktop-portal-kde | xdg-desktop-portal-wlr, \
xserver-xorg | xvfb | pipewire")

include(CPack)
