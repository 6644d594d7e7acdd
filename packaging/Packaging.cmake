# Debian package: both programs, the desktop entry, the icon and the manual page.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-audit.1 DESTINATION share/man/man1)
if(VETRIX_BUILD_SERVICE)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-serve.1 DESTINATION share/man/man1)
  # Installed for systemd to find, not enabled: the package has no maintainer script that
  # would start a network service on its own.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-serve.service DESTINATION lib/systemd/system)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vetrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vetrix developers <vetrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Checks and normalises registration portrait photos")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Checks a candidate's portrait photo before it is uploaded to an online registration\nsystem and turns an acceptable photo into a normalised one. Provides the window\nvetrix, the batch command vetrix-audit and the HTTP service vetrix-serve.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Libraries are found by dpkg-shlibdeps; the face cascade and the fonts are data.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "opencv-data, fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
include(CPack)
