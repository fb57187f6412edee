# Install rules and the Debian package (cpack -G DEB): the programs, brindle-cable, a manual
# page for each, the copyright file and the changelog. Linux builds only.
include(GNUInstallDirs)

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging/linux)
set(_pkg_doc ${CMAKE_INSTALL_DATADIR}/doc/brindle-receiver)
set(_pkg_gz ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS brindle-receiver brindle-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# CPack strips the binaries; the compiler's .comment and .note sections go too, as dh_strip does.
foreach(_exe brindle-receiver brindle-send)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
    --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${_exe}\")")
endforeach()
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/brindle-cable/brindle-cable
        DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual pages and the changelog take the project's version; Debian wants them compressed
# with gzip -9n (no name, no timestamp, so the package is reproducible).
set(_gz_outputs)
foreach(_pair "brindle-receiver.1;brindle-receiver.1.gz" "brindle-send.1;brindle-send.1.gz"
              "brindle-cable.1;brindle-cable.1.gz" "changelog;changelog.Debian.gz")
  list(GET _pair 0 _in)
  list(GET _pair 1 _out)
  configure_file(${_pkg_src}/${_in} ${_pkg_gz}/${_in} @ONLY)
  add_custom_command(OUTPUT ${_pkg_gz}/${_out}
    COMMAND gzip -9nc ${_pkg_gz}/${_in} > ${_pkg_gz}/${_out}
    DEPENDS ${_pkg_gz}/${_in} VERBATIM)
  list(APPEND _gz_outputs ${_pkg_gz}/${_out})
endforeach()
add_custom_target(brindle_package_docs ALL DEPENDS ${_gz_outputs})

install(FILES ${_pkg_gz}/brindle-receiver.1.gz ${_pkg_gz}/brindle-send.1.gz
              ${_pkg_gz}/brindle-cable.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_src}/copyright ${_pkg_gz}/changelog.Debian.gz DESTINATION ${_pkg_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brindle-receiver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brindle receiver developers <brindle-receiver@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wireless microphone receiver for a phone app")
# Debian limits extended description lines to 80 columns; CPack cannot quote double quotes here.
set(CPACK_PACKAGE_DESCRIPTION
  "Brindle receiver is the desktop half of a wireless microphone: the phone
app streams live microphone audio over UDP, and brindle-receiver smooths
the network timing in a jitter buffer, applies a gain and plays the audio
into a virtual cable, so that any program can record the phone as a
microphone. It advertises itself over mDNS so that the phone finds it.
.
brindle-cable gives the user's PulseAudio or PipeWire that virtual cable
and the Brindle microphone source; brindle-send plays the phone for
testing.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# brindle-cable drives the sound server with its own command-line tools.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio-utils | pipewire-bin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
