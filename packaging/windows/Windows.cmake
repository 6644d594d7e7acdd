# The Windows build's additions: the icon and version information of each executable, the face
# cascade beside them, and the two packages (scripts/build-windows.sh builds them):
#   vetrix-<version>-win64.zip     portable: unzip anywhere and start vetrix.exe
#   vetrix-<version>-setup.exe     an installer for the current user, without administrator
#                                  rights, into %LOCALAPPDATA%\Programs\Vetrix
# Both hold the same files: the two executables, the cascade, README.txt and licences\.

set(vetrix_windows_dir ${CMAKE_CURRENT_LIST_DIR})
set(vetrix_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The icon: the window's own pictures at 128 and 256 pixels, as they are.
set(VETRIX_ICO_FILE ${PROJECT_BINARY_DIR}/packaging/vetrix.ico)
add_custom_command(OUTPUT ${VETRIX_ICO_FILE}
  COMMAND Python3::Interpreter ${vetrix_windows_dir}/png-to-ico.py ${VETRIX_ICO_FILE}
          ${PROJECT_SOURCE_DIR}/shell/res/icon.png ${PROJECT_SOURCE_DIR}/shell/res/200/icon.png
  DEPENDS ${vetrix_windows_dir}/png-to-ico.py ${PROJECT_SOURCE_DIR}/shell/res/icon.png
          ${PROJECT_SOURCE_DIR}/shell/res/200/icon.png
  COMMENT "Making the icon")
add_custom_target(vetrix_icon DEPENDS ${VETRIX_ICO_FILE})

# Gives `target` the icon and the version information, named `name` and described as
# `description`.
function(vetrix_windows_resources target name description)
  set(VETRIX_RC_NAME ${name})
  set(VETRIX_RC_DESCRIPTION ${description})
  set(rc ${PROJECT_BINARY_DIR}/packaging/${name}.rc)
  configure_file(${vetrix_windows_dir}/vetrix.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VETRIX_ICO_FILE})
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} vetrix_icon)
endfunction()

vetrix_windows_resources(vetrix-audit vetrix-audit "Vetrix photo audit (command line)")
set(vetrix_programs vetrix-audit)
set(vetrix_nsis_options)
if(TARGET vetrix)
  vetrix_windows_resources(vetrix vetrix "Vetrix photo audit")
  list(PREPEND vetrix_programs vetrix)
  set(vetrix_nsis_options -DWITH_WINDOW)
endif()

# The packages' folder: stripped executables, the cascade, the read-me with Windows line ends
# and the licences.
set(vetrix_package_name vetrix-${PROJECT_VERSION}-win64)
set(vetrix_stage ${PROJECT_BINARY_DIR}/packaging/${vetrix_package_name})
set(vetrix_zip ${PROJECT_BINARY_DIR}/${vetrix_package_name}.zip)
set(vetrix_setup ${PROJECT_BINARY_DIR}/vetrix-${PROJECT_VERSION}-setup.exe)
configure_file(${vetrix_windows_dir}/README.txt.in ${PROJECT_BINARY_DIR}/packaging/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${vetrix_windows_dir}/NOTICE.txt ${PROJECT_BINARY_DIR}/packaging/NOTICE.txt
               COPYONLY)
configure_file(${vetrix_windows_dir}/vetrix.nsi.in ${PROJECT_BINARY_DIR}/packaging/vetrix.nsi
               @ONLY)
set(vetrix_licences
  /usr/share/common-licenses/Apache-2.0
  /usr/share/common-licenses/LGPL-3
  /usr/share/common-licenses/GPL-3)
set(vetrix_stage_commands
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${vetrix_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${vetrix_stage}/licences)
foreach(program IN LISTS vetrix_programs)
  list(APPEND vetrix_stage_commands
    COMMAND ${CMAKE_STRIP} -o ${vetrix_stage}/${program}.exe $<TARGET_FILE:${program}>)
endforeach()
list(APPEND vetrix_stage_commands
  COMMAND ${CMAKE_COMMAND} -E copy ${vetrix_bin}/haarcascade_frontalface_alt2.xml
          ${PROJECT_BINARY_DIR}/packaging/README.txt ${vetrix_stage}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/packaging/NOTICE.txt ${vetrix_licences}
          ${vetrix_stage}/licences)

add_custom_command(OUTPUT ${vetrix_zip} ${vetrix_setup}
  ${vetrix_stage_commands}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${vetrix_zip}
  COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_BINARY_DIR}/packaging
          ${CMAKE_COMMAND} -E tar cf ${vetrix_zip} --format=zip ${vetrix_package_name}
  COMMAND makensis -V2 ${vetrix_nsis_options} -DSTAGE=${vetrix_stage} -DOUTFILE=${vetrix_setup}
          ${PROJECT_BINARY_DIR}/packaging/vetrix.nsi
  DEPENDS ${vetrix_programs} ${vetrix_bin}/haarcascade_frontalface_alt2.xml
          ${PROJECT_BINARY_DIR}/packaging/vetrix.nsi ${PROJECT_BINARY_DIR}/packaging/README.txt
          ${VETRIX_ICO_FILE}
  COMMENT "Packing ${vetrix_package_name}.zip and the installer")
add_custom_target(windows_packages DEPENDS ${vetrix_zip} ${vetrix_setup})
