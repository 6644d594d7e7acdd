# Debian packages, one per role, all built from this one source tree by CPack's component
# install (packaging/build-debs.sh builds them, packaging/test-deb.sh checks them):
#   vetrix        the window, its desktop entry and icon (Qt 6)
#   vetrix-audit  the batch command (no Qt)
#   vetrix-serve  the HTTP service, its systemd unit, /etc/default/vetrix-serve and its OpenAPI
#                 description (no Qt)
#   vetrix-site   the web page for vetrix-serve --site; only when it was built (scripts/build-web.sh)
# Each package's libraries are found by dpkg-shlibdeps; the face cascade and the fonts are data.

set(vetrix_packages vetrix-audit)
if(VETRIX_BUILD_SHELL)
  list(APPEND vetrix_packages vetrix)
endif()
if(VETRIX_BUILD_SERVICE)
  list(APPEND vetrix_packages vetrix-serve)
endif()
set(VETRIX_SITE_DIR ${PROJECT_SOURCE_DIR}/build-web/site CACHE PATH
  "The built web page that the vetrix-site package holds (skipped when it has no index.html)")
if(VETRIX_BUILD_SERVICE AND EXISTS ${VETRIX_SITE_DIR}/index.html)
  list(APPEND vetrix_packages vetrix-site)
  message(STATUS "Packaging the site from ${VETRIX_SITE_DIR}")
endif()

# The manual pages carry the version from project(); Debian wants them compressed, and each
# package its own copyright file and changelog.
set(vetrix_gzipped)
set(vetrix_docs vetrix.1 vetrix-audit.1 vetrix-serve.1 changelog)
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

foreach(package IN LISTS vetrix_packages)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${package}.1)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/${package}.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${package})
  endif()
endforeach()

if(VETRIX_BUILD_SERVICE)
  # Installed for systemd to find, not enabled: the package has no maintainer script that
  # would start a network service on its own. The unit reads its options from the conffile.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-serve.service
          DESTINATION lib/systemd/system COMPONENT vetrix-serve)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vetrix-serve.default
          DESTINATION /etc/default RENAME vetrix-serve COMPONENT vetrix-serve)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/vetrix-serve/conffiles "/etc/default/vetrix-serve\n")
endif()
if(vetrix-site IN_LIST vetrix_packages)
  install(DIRECTORY ${VETRIX_SITE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vetrix-serve/site
          COMPONENT vetrix-site
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${vetrix_packages})
set(CPACK_PACKAGE_NAME vetrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vetrix developers <vetrix@example.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE vetrix)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_VETRIX_PACKAGE_NAME vetrix)
set(CPACK_DEBIAN_VETRIX_PACKAGE_DEPENDS "opencv-data, fonts-noto-cjk")
string(CONCAT CPACK_DEBIAN_VETRIX_DESCRIPTION
  "checks and normalises registration portrait photos (window)\n"
  "Checks a candidate's portrait photo before it is uploaded to an online\n"
  "registration system and turns an acceptable photo into a normalised one.\n"
  "This package provides the window, vetrix.")

set(CPACK_DEBIAN_VETRIX-AUDIT_PACKAGE_NAME vetrix-audit)
set(CPACK_DEBIAN_VETRIX-AUDIT_PACKAGE_DEPENDS "opencv-data")
string(CONCAT CPACK_DEBIAN_VETRIX-AUDIT_DESCRIPTION
  "checks and normalises registration portrait photos (command)\n"
  "Checks a candidate's portrait photo before it is uploaded to an online\n"
  "registration system and turns an acceptable photo into a normalised one.\n"
  "This package provides the batch command vetrix-audit, which audits,\n"
  "normalises and verifies many photos at once. It needs no window system.")

set(CPACK_DEBIAN_VETRIX-SERVE_PACKAGE_NAME vetrix-serve)
set(CPACK_DEBIAN_VETRIX-SERVE_PACKAGE_SECTION web)
set(CPACK_DEBIAN_VETRIX-SERVE_PACKAGE_DEPENDS "opencv-data")
set(CPACK_DEBIAN_VETRIX-SERVE_PACKAGE_SUGGESTS "vetrix-site")
set(CPACK_DEBIAN_VETRIX-SERVE_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/vetrix-serve/conffiles)
string(CONCAT CPACK_DEBIAN_VETRIX-SERVE_DESCRIPTION
  "checks and normalises registration portrait photos (HTTP service)\n"
  "Checks a candidate's portrait photo before it is uploaded to an online\n"
  "registration system and turns an acceptable photo into a normalised one.\n"
  "This package provides vetrix-serve, which offers the audit, the\n"
  "normalisation and the verification over HTTP to a registration system,\n"
  "with a systemd unit (installed, not enabled) and the service's OpenAPI\n"
  "description. It needs no window system.")

set(CPACK_DEBIAN_VETRIX-SITE_PACKAGE_NAME vetrix-site)
set(CPACK_DEBIAN_VETRIX-SITE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_VETRIX-SITE_PACKAGE_SECTION web)
set(CPACK_DEBIAN_VETRIX-SITE_PACKAGE_ENHANCES "vetrix-serve")
string(CONCAT CPACK_DEBIAN_VETRIX-SITE_DESCRIPTION
  "checks and normalises registration portrait photos (web page)\n"
  "Checks a candidate's portrait photo before it is uploaded to an online\n"
  "registration system and turns an acceptable photo into a normalised one.\n"
  "This package provides the web page, which audits the photo in the\n"
  "candidate's browser (WebAssembly), in /usr/share/vetrix-serve/site for\n"
  "vetrix-serve --site or any static web server.")
include(CPack)
