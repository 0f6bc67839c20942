# What a user installs: on Linux the binary, the udev rule, the manual page
# and the docs, as a .deb; on Windows a zip with the exe and the hidapi DLL
# side by side. Both ship stripped binaries.
set(SCALE_PROBE_MAINTAINER "scale-probe developers <scale-probe@example.org>"
    CACHE STRING "Maintainer of the Debian package, as \"Name <address>\"")

set(CPACK_PACKAGE_NAME scale-probe)
set(CPACK_PACKAGE_VENDOR "scale-probe developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${SCALE_PROBE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS scale-probe hidapi_winapi RUNTIME DESTINATION .)
  # CRLF, so that any Windows editor shows the lines apart.
  configure_file(packaging/windows/README.txt "${CMAKE_BINARY_DIR}/README.txt" @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(LICENSE "${CMAKE_BINARY_DIR}/LICENSE.txt" @ONLY NEWLINE_STYLE CRLF)
  install(FILES "${CMAKE_BINARY_DIR}/README.txt" "${CMAKE_BINARY_DIR}/LICENSE.txt" DESTINATION .)
  foreach(licence LICENSE.txt LICENSE-bsd.txt LICENSE-gpl3.txt LICENSE-orig.txt)
    install(FILES "${HIDAPI_SOURCE_DIR}/${licence}" DESTINATION . RENAME hidapi-${licence})
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "scale-probe-${PROJECT_VERSION}-win32")
else()
  include(GNUInstallDirs)
  # Debian wants the manual page and the changelog compressed, reproducibly.
  find_program(GZIP gzip REQUIRED)
  set(compressed "${CMAKE_BINARY_DIR}/compressed")
  # The manual page names the version.
  configure_file(doc/scale-probe.1 "${CMAKE_BINARY_DIR}/scale-probe.1" @ONLY)
  foreach(doc "${CMAKE_BINARY_DIR}/scale-probe.1" "${PROJECT_SOURCE_DIR}/packaging/linux/changelog")
    get_filename_component(name "${doc}" NAME)
    add_custom_command(OUTPUT "${compressed}/${name}.gz"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${compressed}"
      COMMAND ${GZIP} -9n -c "${doc}" > "${compressed}/${name}.gz"
      DEPENDS "${doc}"
      COMMENT "Compressing ${name}")
    list(APPEND compressed_docs "${compressed}/${name}.gz")
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

  install(TARGETS scale-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # udev reads rules from <prefix>/lib/udev, whatever the library directory.
  install(FILES packaging/linux/70-scale-probe.rules DESTINATION lib/udev/rules.d)
  install(FILES "${compressed}/scale-probe.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/linux/org.example.scale_probe.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES README.md packaging/linux/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # For fleets: a monitoring plugin where monitoring engines look for them,
  # whatever the library directory, and an Ansible playbook that runs it.
  configure_file(packaging/linux/check_scale_probe.sh "${CMAKE_BINARY_DIR}/check_scale_probe" @ONLY)
  install(PROGRAMS "${CMAKE_BINARY_DIR}/check_scale_probe" DESTINATION lib/nagios/plugins)
  install(FILES packaging/linux/scales.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # For Prometheus: a writer of node_exporter's textfile, its service and
  # its timer. The service names the writer by the prefix it is installed
  # under, /usr for the package.
  install(PROGRAMS packaging/linux/scale-probe-metrics.sh DESTINATION lib/scale-probe
          RENAME scale-probe-metrics)
  install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/linux/scale-probe-metrics.service\"
                   \"${CMAKE_BINARY_DIR}/installed/scale-probe-metrics.service\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/installed/scale-probe-metrics.service\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")")
  install(FILES packaging/linux/scale-probe-metrics.timer DESTINATION lib/systemd/system)
  # So that the install prefix is the package's own, /usr, not CPack's folder.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  # A Debian package whose version has no revision is a native one, whose
  # changelog is called changelog.gz.
  install(FILES "${compressed}/changelog.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/deb_rebuild.cmake")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Finds the scale (USB vendor 1111, product 0004) among the HID devices,
prints its identity, sends one command report and prints the reply as
hexadecimal bytes. A udev rule lets the user at the seat, and the members
of plugdev, open the scale without root. For many stations, a monitoring
plugin (Nagios, Icinga), an Ansible playbook and a timer that writes the
scale's state for Prometheus' node_exporter come with it.")
endif()
include(CPack)
