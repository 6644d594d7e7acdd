# Debian package: the programs, the desktop entry, the icon, the manual page and the package's
# documents. Build it with the release preset (see README.md); packaging/test-deb.sh checks it.

# The manual page carries the version from project(); Debian wants it compressed.
set(vetrix_gzipped)
set(vetrix_docs vetrix.1 vetrix-audit.1 changelog)
if(VETRIX_BUILD_SERVICE)
  list(APPEND vetrix_docs vetrix-serve.1)
endif()
foreach(file IN LISTS vetrix_docs)
  set(plain ${PROJECT_BINARY_DIR}/packaging/${file})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${file} ${plain} @ONLY)
  add_custom_command(OUTPUT ${plain}.gz
    COMMAND gzip -9 --no-name --stdout ${plain} > ${plain}.gz
    DEPENDS ${plain}
    COMMENT "Compressing ${file}")
  list(APPEND vetrix_gzipped ${plain}.gz)
endforeach()
add_custom_target(vetrix_package_docs ALL DEPENDS ${vetrix_gzipped})

install(FILES ${PROJECT_BINARY_DIR}/packaging/vetrix.1.gz
              ${PROJECT_BINARY_DIR}/packaging/vetrix-audit.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vetrix)
if(VETRIX_BUILD_SERVICE)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/vetrix-serve.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Installed for systemd to find, not enabled: the package has no maintainer script that
  # would start a network service on its own.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-serve.service
          DESTINATION lib/systemd/system)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vetrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vetrix developers <vetrix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Checks and normalises registration portrait photos")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Checks a candidate's portrait photo before it is uploaded to an online\nregistration system and turns an acceptable photo into a normalised one.\nProvides the window vetrix, the batch command vetrix-audit and the HTTP\nservice vetrix-serve.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Libraries are found by dpkg-shlibdeps; the face cascade and the fonts are data.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "opencv-data, fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
include(CPack)
