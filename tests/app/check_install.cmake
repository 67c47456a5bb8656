cmake_minimum_required(VERSION 3.25)
# Installs the build into a scratch prefix and checks that the program, its menu entry and its
# icon land where the desktop looks for them; the entry is checked by desktop-file-validate.
# Called with -DBUILD_DIR=... -DPREFIX=... -DVALIDATE=<desktop-file-validate or empty>.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(file bin/pictolith share/applications/pictolith.desktop share/icons/hicolor/scalable/apps/pictolith.svg)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/pictolith.desktop" entry)
foreach(line "Exec=pictolith" "Icon=pictolith" "Name=Quorvane Pictolith")
  if(NOT line IN_LIST entry)
    message(FATAL_ERROR "the menu entry lacks ${line}")
  endif()
endforeach()
if(VALIDATE)
  execute_process(COMMAND "${VALIDATE}" "${PREFIX}/share/applications/pictolith.desktop"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "desktop-file-validate: ${out}")
  endif()
endif()
