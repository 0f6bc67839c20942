# What a user installs: on Linux the binary, the udev rule and the docs, as a
# .deb; on Windows a zip with the exe and the hidapi DLL side by side.
set(CPACK_PACKAGE_NAME scale-probe)
set(CPACK_PACKAGE_VENDOR "scale-probe developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "scale-probe developers <scale-probe@localhost>")

if(WIN32)
  install(TARGETS scale-probe RUNTIME DESTINATION .)
  install(FILES $<TARGET_FILE:hidapi_winapi> DESTINATION .)
  install(FILES packaging/windows/README.txt DESTINATION .)
  foreach(licence LICENSE.txt LICENSE-bsd.txt LICENSE-gpl3.txt LICENSE-orig.txt)
    install(FILES "${HIDAPI_SOURCE_DIR}/${licence}" DESTINATION . RENAME hidapi-${licence})
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "scale-probe-${PROJECT_VERSION}-win32")
else()
  include(GNUInstallDirs)
  install(TARGETS scale-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # udev reads rules from <prefix>/lib/udev, whatever the library directory.
  install(FILES packaging/linux/70-scale-probe.rules DESTINATION lib/udev/rules.d)
  install(FILES README.md packaging/linux/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Finds the scale (USB vendor 1111, product 0004) among the HID devices,
prints its identity, sends one command report and prints the reply as
hexadecimal bytes. A udev rule lets the user at the seat open the scale
without root.")
endif()
include(CPack)
