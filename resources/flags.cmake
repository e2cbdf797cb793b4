# The country flags come from the Debian package famfamfam-flag-png at build
# time; nothing of it is copied into the repository. This writes a resource
# list naming each image as ":/resources/flags/<code>.png". Without the
# package the list is empty and every flag shows as an empty icon.
set(TV_FLAGS_DIR /usr/share/flags/countries/16x11 CACHE PATH "Folder of the 16x11 country flag images")
file(GLOB _tv_flags ${TV_FLAGS_DIR}/*.png)
if(NOT _tv_flags)
  message(WARNING "No flag images in ${TV_FLAGS_DIR} (package famfamfam-flag-png); flags stay empty")
endif()
set(_tv_qrc "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"/resources/flags\">\n")
foreach(_f ${_tv_flags})
  get_filename_component(_n ${_f} NAME)
  string(TOLOWER ${_n} _n)
  string(APPEND _tv_qrc "    <file alias=\"${_n}\">${_f}</file>\n")
endforeach()
string(APPEND _tv_qrc "  </qresource>\n</RCC>\n")
set(TV_FLAGS_QRC ${CMAKE_BINARY_DIR}/resources/flags.qrc)
# Written only when it changes, so a reconfigure does not rebuild the resources.
file(CONFIGURE OUTPUT ${TV_FLAGS_QRC} CONTENT "${_tv_qrc}" @ONLY)
